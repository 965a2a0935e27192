// The Vendotek driver on a serial line whose terminal answers the idle
// handshake with the fuzzer's bytes (raw, or bodies framed with right CRCs);
// and the plain frame reader on the same kind of line.
#include "devices/Vendotek.h"
#include "fuzz/DeviceBytes.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::installRushingClock();
  const QByteArray rest = fuzz::bytesOf(data + 1, size - 1);
  QByteArray line;
  if (data[0] & 1) {
    line = rest;
  } else {
    for (const QByteArray& body : fuzz::pieces(rest))
      line += vendotekFrame(body, kVendotekFromTerminal);
  }
  fuzz::PtyDevice pty;
  pty.replyAfterRequest(line);
  try {
    if (data[0] & 2) {
      TComDevice dev;
      dev.connect(pty.slavePath(), 115200, 8, 0, 0, false, false);
      dev.sendBuffer(QByteArray(1, '\0'));
      for (int i = 0; i < 4; ++i) (void)readVendotekFrame(dev, 1000, kVendotekFromTerminal);
    } else {
      TVendotek v;
      v.setComPort(pty.comPort());
      v.open();
      v.idleHandshake();
      (void)v.operationNumber();
      (void)v.keepaliveInterval();
      v.close();
    }
  } catch (const Exception&) {
  }
  return 0;
}
