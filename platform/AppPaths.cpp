#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

namespace plat {

QString dataFolder() {
  const QString env = qEnvironmentVariable("VEKTA_DATA_DIR");
  return env.isEmpty() ? QStringLiteral("/var/lib/vekta") : env;
}

QString programFilePath() {
  // /proc/self/exe names the executable even before a QCoreApplication exists.
  const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
  if (!exe.isEmpty()) return exe;
  return QCoreApplication::applicationFilePath();
}

QString programFolder() {
  return QFileInfo(programFilePath()).absolutePath();
}

QString programBaseName() {
  return QFileInfo(programFilePath()).completeBaseName();
}

}  // namespace plat
