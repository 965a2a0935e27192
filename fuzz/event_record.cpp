// Event record files in the upload queue, damaged on disk. A record that
// loads saves to a file that loads again to the same record.
#include "fuzz/FuzzSupport.h"
#include "kiosk/LogThread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ensureApp();
  const QString name = TLogRecord::fileNameOf(42);
  TLogRecord r;
  try {
    r = TLogRecord::fromFileBytes(name, fuzz::bytesOf(data, size));
  } catch (const Exception&) {
    return 0;
  }
  const QByteArray saved = r.toFileBytes();
  TLogRecord back;
  try {
    back = TLogRecord::fromFileBytes(name, saved);
  } catch (const Exception&) {
    __builtin_trap();  // written by us, refused by us
  }
  if (back.toFileBytes() != saved) __builtin_trap();
  return 0;
}
