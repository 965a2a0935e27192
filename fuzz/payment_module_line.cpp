// The payment-module driver on a serial line whose module sends the fuzzer's
// packets: its own requests first, then answers to the driver's request.
#include "devices/PaymentModule.h"
#include "fuzz/FuzzSupport.h"
#include "fuzz/TervinBytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::installRushingClock();
  const QByteArray rest = fuzz::bytesOf(data + 1, size - 1);
  const QByteArray line = (data[0] & 1) ? rest : fuzz::tervinPackets(rest);
  fuzz::PtyDevice pty;
  TPaymentModule pm([](int, const QString&) {});
  pm.setComPort(pty.comPort());
  try {
    pm.open();
    pty.sendNow(line);
    switch ((data[0] >> 1) % 3) {
      case 0:
        (void)pm.getVmStatus();
        (void)pm.serialNumber();
        break;
      case 1:
        (void)pm.testProduct(12);
        break;
      case 2:
        pm.addProduct(-5);
        break;
    }
  } catch (const Exception&) {
  }
  pm.close();
  return 0;
}
