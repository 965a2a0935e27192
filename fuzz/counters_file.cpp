// The counters file and its backup, damaged on disk: loaded as at start and
// read for every kind of counter. The first byte says how much of the rest
// is the main file; the remainder is the backup.
#include <QFile>

#include "fuzz/FuzzSupport.h"
#include "kiosk/Counters.h"

namespace {

void writeOrRemove(const QString& path, const QByteArray& bytes, bool present) {
  QFile::remove(path);
  if (!present) return;
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::ensureApp();
  const QString dir = fuzz::scratchDir();
  const size_t mainLen = std::min<size_t>(size_t(data[0]) * 4, size - 1);
  writeOrRemove(dir + QStringLiteral("/counters"), fuzz::bytesOf(data + 1, mainLen), data[0] != 0);
  writeOrRemove(dir + QStringLiteral("/counters~"),
                fuzz::bytesOf(data + 1 + mainLen, size - 1 - mainLen), true);
  TCountersState state;
  state.dataFolder = dir;
  loadCounters(state);
  for (const QString& key :
       {QStringLiteral("d1"), QStringLiteral("s12"), QStringLiteral("total_amount")})
    for (TCounterKind k : {ckCard, ckSBP, ckYandexBadge, ckDiscountKop}) {
      try {
        (void)getCounter(state, key, k);
      } catch (const Exception&) {
      }
    }
  return 0;
}
