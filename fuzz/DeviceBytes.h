#pragma once
// Turns fuzzer bytes into what a device sends. In raw mode the bytes go out
// as they stand; in framed mode they are cut into pieces (a length byte, then
// that many bytes) that the target wraps into frames with right checksums,
// so the parsers behind the checksums are reached.

#include <QByteArray>
#include <QList>
#include <cstddef>
#include <cstdint>

namespace fuzz {

inline QList<QByteArray> pieces(const QByteArray& bytes) {
  QList<QByteArray> out;
  qsizetype at = 0;
  while (at < bytes.size()) {
    const qsizetype n = uint8_t(bytes[at++]);
    out.append(bytes.mid(at, n));
    at += n;
  }
  return out;
}

}  // namespace fuzz
