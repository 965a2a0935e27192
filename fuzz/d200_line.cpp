// The D200 driver on a serial line whose pad answers with the fuzzer's bytes:
// raw, or an acknowledgement and an answer message (code, arguments) cut into
// frames with right CRCs and the number the driver waits for. The pad's
// requests to open a bank connection are left out: they would reach for
// addresses on this machine.
#include "devices/D200_Sberbank.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  fuzz::installRushingClock();
  const uint8_t op = data[0], mode = data[1];
  const QByteArray rest = fuzz::bytesOf(data + 2, size - 2);
  constexpr uint32_t kFirstNo = 100;
  QByteArray line;
  if (mode & 1) {
    line = rest;
    for (const QByteArray& bytes : rest.split(char(D200::ETX))) {
      try {
        if (d200ParseHeader(d200ParseFrame(bytes).data).code == D200::cmdBankLink) return 0;
      } catch (const Exception&) {
      }
    }
  } else {
    uint8_t code = uint8_t(rest[0]);
    if (code == D200::cmdBankLink) code = D200::cmdVersion;
    const uint32_t no = (mode & 2) ? uint32_t(mode) << 16 : (kFirstNo + 1) | D200::kAnswerBit;
    line.append(char(D200::ACK));
    QByteArray args = rest.mid(1);
    if (args.size() > D200::kMaxArgs) args.truncate(D200::kMaxArgs);
    for (const QByteArray& piece : d200Pieces(d200Message(code, no, args)))
      line += d200Frame(piece);
  }
  fuzz::PtyDevice pty;
  pty.replyAfterRequest(line);
  TD200Sberbank pad;
  pad.setComPort(pty.comPort());
  pad.setOutgoingMsgNo(kFirstNo);
  try {
    switch (op % 5) {
      case 0:
        pad.getVersion();
        break;
      case 1:
        pad.getTerminalNumber();
        break;
      case 2:
        (void)pad.cardInserted(1);
        break;
      case 3:
        (void)pad.abort_operation(5000);
        break;
      case 4:
        (void)pad.pay(12.34);
        break;
    }
  } catch (const Exception&) {
  }
  pad.close();
  return 0;
}
