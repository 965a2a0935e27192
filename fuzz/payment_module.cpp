// Payment-module packets read from a line: raw bytes, or packets with right
// CRCs built from the fuzzer's pieces; every parameter read as the driver
// reads them.
#include "fuzz/FuzzSupport.h"
#include "fuzz/TervinBytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const QByteArray rest = fuzz::bytesOf(data + 1, size - 1);
  const QByteArray line = (data[0] & 1) ? rest : fuzz::tervinPackets(rest);
  qsizetype at = 0;
  const TTervinReader read = [&](int, int len) {
    if (len < 0 || len > line.size() - at) throw Exception(QStringLiteral("Timeout"));
    const QByteArray out = line.mid(at, len);
    at += len;
    return out;
  };
  while (at < line.size()) {
    try {
      TPacket p = readTervinPacket(read, 1000);
      for (int i = 0; i < p.paramCount(); ++i) {
        try {
          (void)p.getLong(i);
        } catch (const Exception&) {
        }
        (void)p.getString(i);
      }
      const QByteArray again = encodeTervinPacket(p);
      (void)again;
    } catch (const Exception&) {
      ++at;  // resynchronise one byte on
    }
  }
  return 0;
}
