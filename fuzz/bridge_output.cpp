// What the bank bridge prints, as the kiosk's bridge driver reads it (bytes in
// windows-1251, decoded once, cut into lines): every operation's check of
// the result and the values it looks up.
#include "devices/SberDevice.h"
#include "fuzz/FuzzSupport.h"
#include "platform/TextCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const QString output = plat::fromAnsi(fuzz::bytesOf(data + 1, size - 1));
  TSberDevice sber(fuzz::scratchDir(), [&](const QStringList&, const std::atomic<bool>&,
                                           const QString&) { return output; });
  std::atomic<bool> stop{false};
  try {
    switch (data[0] % 4) {
      case 0:
        sber.pay(10.5, stop);
        break;
      case 1:
        sber.revise_totals();
        break;
      case 2:
        sber.rollBackTrx();
        break;
      case 3:
        (void)sber.testPinPad();
        break;
    }
  } catch (const Exception&) {
  }
  for (const char* key : {"rcode", "last_error", "last_error_msg", "result", "check"})
    (void)sber.getValue(QString::fromLatin1(key));
  return 0;
}
