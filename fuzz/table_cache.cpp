// Table cache files on disk: the data file (a table file, here with a right
// checksum around the fuzzer's body) and its version file. A cache that is
// taken is saved again and taken again, as on the next refresh.
#include <QFile>

#include "backoffice/JTable.h"
#include "backoffice/TableCache.h"
#include "backoffice/Utils.h"
#include "fuzz/FuzzSupport.h"
#include "fuzz/TableFile.h"

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const QString folder = [] {
    const QString f = fuzz::scratchDir() + QStringLiteral("/cache/");
    QDir().mkpath(f);
    setTablesCacheFolder(f);
    return f;
  }();
  // First byte: length of the version file's text; it comes first.
  const size_t dvLen = std::min<size_t>(data[0], size - 1);
  const QByteArray dv = fuzz::bytesOf(data + 1, dvLen);
  const QByteArray body = fuzz::bytesOf(data + 1 + dvLen, size - 1 - dvLen);

  TCachedVersion parsed;
  if (parseCachedVersion(QString::fromUtf8(dv), parsed)) {
    TCachedVersion back;
    (void)parseCachedVersion(formatCachedVersion(parsed), back);
  }

  writeFile(folder + QStringLiteral("t.dv"), dv);
  writeFile(folder + QStringLiteral("t.dat"), fuzz::tableFileAround(body));
  TJTable first;
  try {
    if (!first.updateFromCache(QStringLiteral("t"))) return 0;
    first.saveToCache(QStringLiteral("t"), data[0] & 1);
    TJTable second;
    if (!second.updateFromCache(QStringLiteral("t"))) __builtin_trap();
    if (second.SaveToBytes() != first.SaveToBytes()) __builtin_trap();
  } catch (const Exception&) {
  }
  return 0;
}
