// The coffee-machine driver on a serial line whose machine answers one
// command (picked by the first byte) with the fuzzer's bytes: raw, or data
// wrapped into an answer with a right CRC. A state that arrives is then read
// through every getter.
#include "devices/CarimaliDevice.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::installRushingClock();
  const uint8_t op = data[0] >> 1;
  static const uint8_t kCodes[] = {TCarimali::cmdRead, TCarimali::cmdRead, TCarimali::cmdRead,
                                   TCarimali::cmdInitComm, TCarimali::cmdService};
  const uint8_t code = kCodes[op % 5];
  const QByteArray rest = fuzz::bytesOf(data + 1, size - 1);
  const QByteArray answer =
      (data[0] & 1) ? rest : TCarimali::buildFrame(code, QByteArray(1, '\x06') + rest);
  fuzz::PtyDevice pty;
  pty.replyAfterRequest(answer);
  TCarimali m;
  m.setComPort(pty.comPort());
  try {
    switch (op % 5) {
      case 0:
        m.readCurrentState();
        (void)m.cur_state_descr();
        (void)m.cur_state_fatal_error_descr();
        (void)m.cur_state_bunker_error();
        (void)m.cur_state_credit_amount();
        (void)m.cur_state_dring_preparation_percent();
        (void)m.cur_state_boiler_temperature();
        (void)m.cur_state_has_fatal_error();
        break;
      case 1:
        m.readCurrentState2();
        break;
      case 2:
        (void)m.readRecipe(1 + op % TCarimali::kRecipeCount);
        (void)m.getRecipeDescr(1 + op % TCarimali::kRecipeCount);
        break;
      case 3:
        m.initComm();
        break;
      case 4:
        m.powerOn();
        break;
    }
  } catch (const Exception&) {
  }
  m.close();
  return 0;
}
