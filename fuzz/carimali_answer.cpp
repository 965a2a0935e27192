// Coffee-machine answers as they build up in the receive buffer: raw bytes,
// or the answer data wrapped with the head, code, acknowledgement and a right
// CRC; each prefix is looked at as the driver looks at a growing answer.
#include "devices/CarimaliDevice.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t code = data[1];
  const QByteArray rest = fuzz::bytesOf(data + 2, size - 2);
  const QByteArray answer =
      (data[0] & 1) ? rest : TCarimali::buildFrame(code, QByteArray(1, '\x06') + rest);
  for (qsizetype n = 0; n <= answer.size(); ++n) {
    QByteArray out;
    try {
      if (TCarimali::parseAnswer(code, answer.left(n), &out)) break;
    } catch (const Exception&) {
      break;
    }
  }
  (void)TCarimali::getCarimaliDrinkByNo(int(code) - 5);
  (void)TCarimali::bunkerErrorText(code);
  return 0;
}
