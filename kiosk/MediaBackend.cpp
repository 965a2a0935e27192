#include "kiosk/MediaBackend.h"

#include <QDir>
#include <QLibraryInfo>
#include <QtGlobal>

QStringList mediaPluginFolders() {
  QStringList roots;
  // Qt looks in QT_PLUGIN_PATH before its own folder.
  const QString extra = qEnvironmentVariable("QT_PLUGIN_PATH");
  if (!extra.isEmpty()) roots << extra.split(QDir::listSeparator(), Qt::SkipEmptyParts);
  roots << QLibraryInfo::path(QLibraryInfo::PluginsPath);
  QStringList folders;
  for (const QString& root : roots) folders << QDir(root).filePath(QStringLiteral("multimedia"));
  return folders;
}

bool hasFfmpegMediaPlugin(const QStringList& folders) {
  // libffmpegmediaplugin.so here; ffmpegmediaplugin.dll elsewhere.
  const QStringList pattern = {QStringLiteral("*ffmpegmediaplugin*")};
  for (const QString& folder : folders)
    if (!QDir(folder).entryList(pattern, QDir::Files).isEmpty()) return true;
  return false;
}

QString chooseMediaBackend() {
  // Qt takes an empty value for none.
  if (!qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND"))
    return qEnvironmentVariable("QT_MEDIA_BACKEND");
  if (!hasFfmpegMediaPlugin(mediaPluginFolders())) return {};
  qputenv("QT_MEDIA_BACKEND", "ffmpeg");
  return QStringLiteral("ffmpeg");
}
