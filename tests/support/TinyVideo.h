#pragma once
// A small video made at test time: Motion-JPEG frames in an AVI file, the
// plainest container that the media backends read. Each frame is one JPEG
// picture, so a test knows exactly what the player must show.
//
// AVI is a RIFF file: chunks of a four-letter id, a little-endian 32-bit size
// and the data (padded to an even length), and LIST chunks that hold chunks.
//   RIFF "AVI " { LIST "hdrl" { avih, LIST "strl" { strh, strf } },
//                 LIST "movi" { "00dc" frame... }, idx1 }

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QList>
#include <QtEndian>
#include <algorithm>
#include <cstdint>

namespace tinyvideo {

inline void put32(QByteArray& b, uint32_t v) {
  char c[4];
  qToLittleEndian(v, c);
  b.append(c, 4);
}
inline void put16(QByteArray& b, uint16_t v) {
  char c[2];
  qToLittleEndian(v, c);
  b.append(c, 2);
}
inline QByteArray chunk(const char* id, const QByteArray& data) {
  QByteArray b(id, 4);
  put32(b, uint32_t(data.size()));
  b += data;
  if (data.size() % 2) b.append('\0');
  return b;
}
inline QByteArray list(const char* type, const QByteArray& data) {
  return chunk("LIST", QByteArray(type, 4) + data);
}

// The frames (all of one size) at fps frames a second.
inline QByteArray mjpegAvi(const QList<QImage>& frames, int fps) {
  const uint32_t w = frames.value(0).width(), h = frames.value(0).height();
  const uint32_t count = uint32_t(frames.size());
  QList<QByteArray> jpegs;
  uint32_t largest = 0;
  for (const QImage& f : frames) {
    QByteArray j;
    QBuffer buf(&j);
    buf.open(QIODevice::WriteOnly);
    f.save(&buf, "JPG", 90);
    largest = std::max(largest, uint32_t(j.size()));
    jpegs << j;
  }

  QByteArray avih;             // main header
  put32(avih, 1000000 / fps);  // microseconds a frame
  put32(avih, largest * fps);  // bytes a second at most
  put32(avih, 0);              // padding granularity
  put32(avih, 0x10);           // has an index
  put32(avih, count);
  put32(avih, 0);  // initial frames
  put32(avih, 1);  // streams
  put32(avih, largest);
  put32(avih, w);
  put32(avih, h);
  for (int i = 0; i < 4; ++i) put32(avih, 0);

  QByteArray strh("vidsMJPG", 8);  // stream header: video, Motion-JPEG
  put32(strh, 0);                  // flags
  put16(strh, 0);                  // priority
  put16(strh, 0);                  // language
  put32(strh, 0);                  // initial frames
  put32(strh, 1);                  // scale
  put32(strh, uint32_t(fps));      // rate: rate / scale frames a second
  put32(strh, 0);                  // start
  put32(strh, count);              // length in frames
  put32(strh, largest);
  put32(strh, 0xFFFFFFFF);  // quality: default
  put32(strh, 0);           // sample size: varies
  put16(strh, 0);
  put16(strh, 0);
  put16(strh, uint16_t(w));
  put16(strh, uint16_t(h));

  QByteArray strf;  // stream format: a bitmap header
  put32(strf, 40);
  put32(strf, w);
  put32(strf, h);
  put16(strf, 1);   // planes
  put16(strf, 24);  // bits a pixel
  strf += QByteArray("MJPG", 4);
  put32(strf, w * h * 3);
  for (int i = 0; i < 4; ++i) put32(strf, 0);

  QByteArray movi, idx1;
  uint32_t offset = 4;  // from the "movi" type of the list
  for (const QByteArray& j : jpegs) {
    const QByteArray c = chunk("00dc", j);
    idx1 += QByteArray("00dc", 4);
    put32(idx1, 0x10);  // a key frame
    put32(idx1, offset);
    put32(idx1, uint32_t(j.size()));
    movi += c;
    offset += uint32_t(c.size());
  }
  const QByteArray hdrl =
      list("hdrl", chunk("avih", avih) + list("strl", chunk("strh", strh) + chunk("strf", strf)));
  return chunk("RIFF", QByteArray("AVI ", 4) + hdrl + list("movi", movi) + chunk("idx1", idx1));
}

}  // namespace tinyvideo
