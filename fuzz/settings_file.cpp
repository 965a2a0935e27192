// The settings file (vekta.ini) damaged or edited by hand. Whatever loads
// must save to a file that loads to the same keys and values.
#include <QFile>

#include "fuzz/FuzzSupport.h"
#include "kiosk/SettingsStorage.h"

namespace {

QStringList linesOf(const TSettingsStorage& s) {
  QStringList lines;
  s.SaveToStrings(lines);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ensureApp();
  const QString in = fuzz::scratchDir() + QStringLiteral("/in.ini");
  const QString out = fuzz::scratchDir() + QStringLiteral("/out.ini");
  {
    QFile f(in);
    if (!f.open(QIODevice::WriteOnly)) return 0;
    f.write(reinterpret_cast<const char*>(data), qint64(size));
  }
  TSettingsStorage first;
  try {
    first.LoadFromIniFile(in);
  } catch (const Exception&) {
    return 0;
  }
  // A store without values saves an empty file, which the load refuses as
  // truncated: there are no keys to lose.
  if (first.keys().empty()) return 0;
  const QStringList lines = linesOf(first);
  if (!first.SaveToIniFile(out)) return 0;  // the scratch folder is full: nothing to compare
  TSettingsStorage again;
  try {
    again.LoadFromIniFile(out);
  } catch (const Exception&) {
    __builtin_trap();  // saved by us, refused by us
  }
  if (linesOf(again) != lines) __builtin_trap();
  return 0;
}
