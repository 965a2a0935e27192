// A stand-in for the kiosk program in the restart test. Copied into a
// temporary folder as "vekta" with its successor as "vekta.new", it swaps
// the files and restarts exactly as the kiosk does after an update. Started
// with the after-update argument, it writes the file it runs from into the
// report file named by VEKTA_PROBE_REPORT.

#include <QCoreApplication>
#include <QFile>

#include "kiosk/KioskHooks.h"
#include "kiosk/SoftwareUpdate.h"
#include "platform/AppPaths.h"

namespace {

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
  QCoreApplication app(argc, argv);
  if (QCoreApplication::arguments().contains(QLatin1String(kAfterUpdateArgument)))
    return report(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
  QString error;
  if (!installProgramUpdate(plat::programFilePath(), &error))
    return report(QStringLiteral("not installed: ") + error);
  TProbeHooks hooks;
  return startInstalledProgram(hooks) ? 0 : report(QStringLiteral("not started"));
}
