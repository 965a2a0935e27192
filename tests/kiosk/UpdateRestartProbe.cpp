// A stand-in for the kiosk program in the restart test. Copied into a
// temporary folder as "vekta" with its successor as "vekta.new", it swaps
// the files and restarts exactly as the kiosk does after an update, through
// the watcher. It answers the update's own arguments as the kiosk does.
// Started with the after-update argument, it shows its "home screen": it
// writes the file it runs from into the report file named by
// VEKTA_PROBE_REPORT, with the report of an update put back on a second
// line when there is one. A copy whose file ends in kEndsAtOnce ends at
// once instead, as a program that cannot start.

#include <QCoreApplication>
#include <QFile>

#include "kiosk/KioskHooks.h"
#include "kiosk/SoftwareUpdate.h"
#include "kiosk/UpdateWatch.h"
#include "platform/AppPaths.h"

namespace {

constexpr char kEndsAtOnce[] = "\nends at once";

int report(const QString& text) {
  QFile f(qEnvironmentVariable("VEKTA_PROBE_REPORT"));
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 3;
  f.write(text.toUtf8());
  return 0;
}

// Only the real program starter is used; the probe has no screens.
struct TProbeHooks : IKioskHooks {
  int openCart(bool) override { return 0; }
  void openReviseTotals() override {}
  std::optional<TProduct> openBarcodeKeypad() override { return std::nullopt; }
};

}  // namespace

int main(int argc, char** argv) {
  if (const auto code = runUpdateCommand(argc, argv)) return *code;
  QCoreApplication app(argc, argv);
  if (QCoreApplication::arguments().contains(QLatin1String(kAfterUpdateArgument))) {
    QFile self(QStringLiteral("/proc/self/exe"));
    if (self.open(QIODevice::ReadOnly) && self.readAll().endsWith(kEndsAtOnce)) return 1;
    QString text = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    const auto putBack = confirmProgramRuns(plat::programFilePath());
    if (putBack && !putBack->report.isEmpty()) text += u'\n' + putBack->report;
    return report(text);
  }
  QString error;
  if (!installProgramUpdate(plat::programFilePath(), &error))
    return report(QStringLiteral("not installed: ") + error);
  TProbeHooks hooks;
  return startInstalledProgram(hooks) ? 0 : report(QStringLiteral("not started"));
}
