#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

namespace plat {

QString dataFolder() {
  const QString env = qEnvironmentVariable("VEKTA_DATA_DIR");
  return env.isEmpty() ? QStringLiteral("/var/lib/vekta") : env;
}

namespace {

// /proc/self/exe follows the running file when it is renamed: after a
// software update moved it aside to "vekta.tmp" it names the old program.
// The path the program was started from is read once, when it is loaded.
const QString& startPath() {
  static const QString path = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
  return path;
}

[[maybe_unused]] const bool kStartPathTaken = startPath().isEmpty();

}  // namespace

QString programFilePath() {
  const QString& path = startPath();
  return path.isEmpty() ? QCoreApplication::applicationFilePath() : path;
}

QString programFolder() {
  return QFileInfo(programFilePath()).absolutePath();
}

QString programBaseName() {
  return QFileInfo(programFilePath()).completeBaseName();
}

}  // namespace plat
