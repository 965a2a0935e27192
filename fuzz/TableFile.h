#pragma once
// Table files for the fuzzers: the fuzzer's bytes become the body of a file
// with a right header and checksum, so the parser behind the checksum is
// what gets fuzzed (a fuzzer does not find matching CRCs on its own).

#include <QByteArray>
#include <QtEndian>

namespace fuzz {

inline quint32 tableCrc32(const char* p, qsizetype n) {
  quint32 c = 0xFFFFFFFFu;
  for (qsizetype i = 0; i < n; ++i) {
    c ^= static_cast<quint8>(p[i]);
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xFFFFFFFFu;
}

// A whole table file around body: magic, version 1, flags, body length,
// body, CRC-32 of all before it.
inline QByteArray tableFileAround(const QByteArray& body) {
  QByteArray f("VKTB\x01\x00\x00\x00", 8);
  char len[8];
  qToLittleEndian<quint64>(quint64(body.size()), len);
  f.append(len, 8);
  f.append(body);
  char crc[4];
  qToLittleEndian<quint32>(tableCrc32(f.constData(), f.size()), crc);
  f.append(crc, 4);
  return f;
}

// Body of a table file (what tableFileAround wraps), for seeds.
inline QByteArray tableFileBody(const QByteArray& file) {
  return file.mid(16, file.size() - 20);
}

}  // namespace fuzz
