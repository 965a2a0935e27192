// File transfers against a server that answers with the fuzzer's bytes: the
// upload (request 30), the download (46) and the two update downloads (57,
// 78). Retries reconnect to a port where nobody listens, so they end in a
// clean error too. The first byte picks the transfer.
#include <QFile>

#include "fuzz/FuzzTransport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::installRushingClock();
  static const QString dir = fuzz::scratchDir();
  const QString source = dir + QStringLiteral("/upload.bin");
  const QString dest = dir + QStringLiteral("/download.bin");
  static const bool sourceWritten = [&] {
    QFile f(source);
    return f.open(QIODevice::WriteOnly) && f.write("0123456789") == 10;
  }();
  (void)sourceWritten;
  QFile::remove(dest);
  // A partial file to resume from, for half of the downloads.
  if (data[0] & 0x10) {
    QFile f(dest);
    if (f.open(QIODevice::WriteOnly)) f.write("abc");
  }

  fuzz::PairedTransport t;
  t.peer().replyAfterRequest(fuzz::bytesOf(data + 1, size - 1));
  constexpr int kTimeout = 600;  // the peer either sends or hangs up
  try {
    switch (data[0] & 3) {
      case 0:
        (void)t.writeFile(source, QStringLiteral("up.bin"), true, {}, kTimeout);
        break;
      case 1:
        (void)t.readFile(QStringLiteral("down.bin"), dest, 2, false, {}, kTimeout);
        break;
      case 2:
        (void)t.getSoftwareUpdate(dest, {}, kTimeout);
        break;
      case 3:
        (void)t.getSoftwareUpdateII(dest, QStringLiteral("vekta"), {}, kTimeout);
        break;
    }
  } catch (const Exception&) {
  }
  return 0;
}
