// D200 frames, message headers and transaction answers: raw frame bytes, or
// payloads wrapped into frames with right CRCs.
#include "devices/D200_Sberbank.h"
#include "fuzz/DeviceBytes.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const QByteArray rest = fuzz::bytesOf(data + 1, size - 1);
  QList<QByteArray> frames;
  if (data[0] & 1) {
    frames = rest.split(char(D200::ETX));
  } else {
    for (const QByteArray& payload : fuzz::pieces(rest)) {
      QByteArray f = d200Frame(payload);
      f.chop(1);  // the reader cuts at ETX
      frames.append(f);
    }
  }
  QByteArray message;
  for (const QByteArray& bytes : frames) {
    try {
      const TFrame f = d200ParseFrame(bytes);
      message += f.data;
    } catch (const Exception&) {
    }
  }
  try {
    const TMsg m = d200ParseHeader(message);
    (void)d200ErrorCode(m);
    (void)d200ParseTransaction(m.args);
  } catch (const Exception&) {
  }
  try {
    (void)d200ParseTransaction(rest);
  } catch (const Exception&) {
  }
  return 0;
}
