// Vendotek frames in a receive buffer and the TLV bodies inside them. The
// first byte picks raw bytes or bodies wrapped into frames with right CRCs.
#include "devices/Vendotek.h"
#include "fuzz/DeviceBytes.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const QByteArray rest = fuzz::bytesOf(data + 1, size - 1);
  const QByteArray& marker = (data[0] & 2) ? kVendotekToTerminal : kVendotekFromTerminal;
  QByteArray buf;
  if (data[0] & 1) {
    buf = rest;
  } else {
    for (const QByteArray& body : fuzz::pieces(rest)) buf += vendotekFrame(body, marker);
  }
  QByteArray body;
  while (takeVendotekFrame(buf, marker, &body)) {
    TVendotekMessage m;
    try {
      m.parse(body);
    } catch (const Exception&) {
      continue;
    }
    (void)m.getDescription();
    for (int tag = 0; tag < 32; ++tag) (void)m.getValue(uint8_t(tag));
    try {
      TVendotekMessage again;
      again.parse(m.toString());
    } catch (const Exception&) {
    }
  }
  return 0;
}
