#pragma once
// Payment-module packets from fuzzer bytes: each piece (see DeviceBytes.h)
// becomes one packet with right CRCs. Piece: flags (bit 0 answer, bit 1 the
// number of the driver's first request), number, code (2 bytes), then
// parameters as type, length, value.

#include "devices/TervinDevice.h"
#include "fuzz/DeviceBytes.h"

namespace fuzz {

inline QByteArray tervinPackets(const QByteArray& bytes) {
  QByteArray out;
  for (const QByteArray& piece : pieces(bytes)) {
    if (piece.size() < 4) continue;
    TPacket p;
    const uint8_t flags = uint8_t(piece[0]);
    p.packetType = (flags & 1) ? tptAnswer : tptRequest;
    p.packetNum = (flags & 2) ? 1 : uint8_t(piece[1]);
    p.code = uint8_t(piece[2]) | (uint8_t(piece[3]) << 8);
    static const int32_t kTypes[] = {tpUnsigned, tpSigned, tpText, 3};
    for (qsizetype at = 4; at + 1 < piece.size();) {
      const int32_t type = kTypes[uint8_t(piece[at]) % 4];
      const qsizetype n = uint8_t(piece[at + 1]);
      p.addParam(piece.mid(at + 2, n), type);
      at += 2 + n;
    }
    try {
      out += encodeTervinPacket(p);
    } catch (const Exception&) {
    }
  }
  return out;
}

}  // namespace fuzz
