// A stand-in for the kiosk program in the restart test. Copied into a
// temporary folder as "vekta" with its successor as "vekta.new", it swaps
// the files and restarts exactly as the kiosk does after an update. Started
// with the after-update argument, it writes the file it runs from into the
// report file named by VEKTA_PROBE_REPORT.

#include <QCoreApplication>
#include <QFile>

#include "kiosk/SoftwareUpdate.h"
#include "platform/AppPaths.h"

namespace {

int report(const QString& text) {
  QFile f(qEnvironmentVariable("VEKTA_PROBE_REPORT"));
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 3;
  f.write(text.toUtf8());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (QCoreApplication::arguments().contains(QLatin1String(kAfterUpdateArgument)))
    return report(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
  QString error;
  if (!installProgramUpdate(plat::programFilePath(), &error))
    return report(QStringLiteral("not installed: ") + error);
  return startInstalledProgram() ? 0 : report(QStringLiteral("not started"));
}
