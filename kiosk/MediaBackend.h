#pragma once
// Which Qt Multimedia backend plays the screensaver's videos.
//
// Qt picks GStreamer when it finds both, and GStreamer needs plugin packages
// of its own to decode anything; without them it crashes inside Qt's media
// plugin at the first video instead of reporting an error. The FFmpeg
// backend comes in the same Debian package as Qt Multimedia and brings its
// decoders with it, so the kiosk asks for it whenever it is installed.
// A backend named in QT_MEDIA_BACKEND is left alone: that is a technician's
// deliberate choice.
//
// Qt's GStreamer backend does not check its own parts either: without the
// base plugins it crashes at its first player. When GStreamer is the backend
// in effect, the screensaver asks mediaBackendMissingParts() first and
// skips its videos while parts are missing.
//
// Qt reads the variable when the process makes its first media object, so
// chooseMediaBackend() must run before that; main() calls it before the
// application object, and the screensaver again before its first player
// (a no-op then), so it holds in every program that shows the screensaver.

#include <QString>
#include <QStringList>

// The plugin folders where Qt looks for its media backends: QT_PLUGIN_PATH
// and Qt's own plugin folder, each with "multimedia" appended.
QStringList mediaPluginFolders();

// Whether one of the folders holds Qt's FFmpeg media plugin.
bool hasFfmpegMediaPlugin(const QStringList& folders);

// Sets QT_MEDIA_BACKEND to "ffmpeg" when it is unset (or empty) and the FFmpeg plugin is
// installed. Returns the backend in effect afterwards; empty: Qt's default.
QString chooseMediaBackend();

// The GStreamer elements that Qt's GStreamer backend builds every player
// from, missing from this machine; empty when none is. Asks GStreamer itself.
QStringList missingGstreamerElements();

// What the backend in effect lacks to play videos without crashing; empty
// when nothing is known to be missing. Checked once a process.
QString mediaBackendMissingParts();
