#include "kiosk/MediaBackend.h"

#include <QDir>
#include <QLibrary>
#include <QLibraryInfo>
#include <QtGlobal>
#include <optional>

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

QStringList missingGstreamerElements() {
  // Element names as the backend asks for them for a player with a video
  // view and no sound: the decoder, the video branch and what joins them.
  static const char* const kElements[] = {
      "uridecodebin", "input-selector", "queue", "videoconvert", "videoscale",
  };
  QStringList missing;
  QLibrary gst(QStringLiteral("gstreamer-1.0"), 0);
  using InitCheck = int (*)(int*, char***, void**);
  using FactoryFind = void* (*)(const char*);
  using Unref = void (*)(void*);
  const auto initCheck = reinterpret_cast<InitCheck>(gst.resolve("gst_init_check"));
  const auto factoryFind = reinterpret_cast<FactoryFind>(gst.resolve("gst_element_factory_find"));
  const auto unref = reinterpret_cast<Unref>(gst.resolve("gst_object_unref"));
  if (!initCheck || !factoryFind || !unref) return {QStringLiteral("libgstreamer-1.0")};
  if (!initCheck(nullptr, nullptr, nullptr)) return {QStringLiteral("gst_init")};
  for (const char* name : kElements) {
    void* factory = factoryFind(name);
    if (factory)
      unref(factory);
    else
      missing << QString::fromLatin1(name);
  }
  // The library stays loaded: the backend uses it next.
  return missing;
}

QString mediaBackendMissingParts() {
  static std::optional<QString> answer;
  if (answer) return *answer;
  QString backend = qEnvironmentVariable("QT_MEDIA_BACKEND");
  // Left to itself, Qt takes GStreamer first.
  if (backend.isEmpty()) {
    const QStringList gstPlugin = {QStringLiteral("*gstreamermediaplugin*")};
    for (const QString& folder : mediaPluginFolders())
      if (!QDir(folder).entryList(gstPlugin, QDir::Files).isEmpty())
        backend = QStringLiteral("gstreamer");
  }
  answer = QString();
  if (backend == QLatin1String("gstreamer")) {
    const QStringList missing = missingGstreamerElements();
    if (!missing.isEmpty())
      answer = QStringLiteral("GStreamer без элементов %1").arg(missing.join(QStringLiteral(", ")));
  }
  return *answer;
}
