#include "kiosk/Screensaver.h"

#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QMediaPlayer>
#include <QTimer>
#include <QUrl>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>
#include <algorithm>
#include <stdexcept>
#include <utility>

#include "kiosk/BackgroundThreads.h"
#include "kiosk/Common.h"
#include "kiosk/Main.h"
#include "kiosk/MediaBackend.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"

TfmWallpaper* fmWallpaper = nullptr;

// --- plain logic -------------------------------------------------------------

TBrokenWallpapers::Stamp TBrokenWallpapers::stampOf(const QString& path) {
  const QFileInfo info(path);
  return {info.size(), info.lastModified()};
}

bool TBrokenWallpapers::contains(const QString& path) const {
  const auto it = files_.constFind(path);
  return it != files_.constEnd() && *it == stampOf(path);
}

bool TBrokenWallpapers::add(const QString& path) {
  if (contains(path)) return false;
  files_.insert(path, stampOf(path));
  return true;
}

TBrokenWallpapers& brokenWallpapers() {
  static TBrokenWallpapers broken;
  return broken;
}

bool TWallpaperPlaylist::tryIndex(const QStringList& files, const QString& dir, int i,
                                  const std::function<bool(const QString&)>& tryShow) {
  const QString& name = files[i];
  if (!isSafeWallpaperName(name)) return false;
  const QString path = dir + QLatin1Char('/') + name;
  if (broken_.contains(path) || !QFileInfo(path).isFile()) return false;
  return tryShow && tryShow(path);
}

int TWallpaperPlaylist::showNext(const QStringList& files, const QString& dir,
                                 const std::function<bool(const QString&)>& tryShow) {
  for (int i = std::max(file_ind + 1, 0); i < files.size(); ++i)
    if (tryIndex(files, dir, i, tryShow)) return file_ind = i;
  // The list wraps once.
  file_ind = -1;
  for (int i = 0; i < files.size(); ++i)
    if (tryIndex(files, dir, i, tryShow)) return file_ind = i;
  return -1;
}

TMediaTick mediaPlayerTick(bool inputSinceStart, bool playing, bool failed, int64_t positionMs,
                           int64_t durationMs, int64_t elapsedMs) {
  if (inputSinceStart) return TMediaTick::Close;
  if (failed || !playing) return TMediaTick::Next;
  // A duration not known yet means the file is still being opened.
  if (durationMs <= 0) return elapsedMs < kVideoOpenTimeoutMs ? TMediaTick::Wait : TMediaTick::Next;
  return positionMs < durationMs ? TMediaTick::Wait : TMediaTick::Next;
}

QString videoFault(const TVideoCheck& c) {
  if (!c.available) return QStringLiteral("нет мультимедийного модуля");
  if (!c.error.isEmpty()) return c.error;
  if (c.invalidMedia) return QStringLiteral("файл не читается как видео");
  if (!c.frameShown && c.elapsedMs >= kVideoFirstFrameTimeoutMs)
    return QStringLiteral("нет изображения за %1 с").arg(kVideoFirstFrameTimeoutMs / 1000);
  return {};
}

// --- the form ----------------------------------------------------------------

namespace {

QLabel* footerLabel(QWidget* parent, const char* name) {
  auto* l = new QLabel(parent);
  l->setObjectName(QLatin1String(name));
  l->setTextFormat(Qt::PlainText);
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, Qt::darkGray);
  l->setPalette(pal);
  QFont f = l->font();
  f.setPointSizeF(15);
  l->setFont(f);
  return l;
}

}  // namespace

TfmWallpaper::TfmWallpaper(const QStringList& files, int periodSeconds, const QString& dataFolder,
                           std::function<void(const QString&)> log, QWidget* parent)
    : QDialog(parent), wallpaper_files(files), log_(std::move(log)) {
  if (!log_) throw std::invalid_argument("TfmWallpaper: no local log");
  setObjectName(QStringLiteral("fmWallpaper"));
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::black);
  setPalette(pal);

  Image = new QLabel(this);
  Image->setObjectName(QStringLiteral("Image"));
  Image->setAlignment(Qt::AlignCenter);
  tmNextFile = new QTimer(this);
  tmNextFile->setObjectName(QStringLiteral("tmNextFile"));
  pnSerialNumber = new TRectangle(this);
  pnSerialNumber->setObjectName(QStringLiteral("pnSerialNumber"));
  pnSerialNumber->setFillColor(Qt::black);
  lbSerialNumber = footerLabel(pnSerialNumber, "lbSerialNumber");
  lbSupportPhone = footerLabel(pnSerialNumber, "lbSupportPhone");
  // The player and its view are made when the first video comes: most
  // screensavers show pictures only and never need a media backend.
  MediaPlayerControl = nullptr;
  MediaPlayer = nullptr;
  tmMediaPlayer = new QTimer(this);
  tmMediaPlayer->setObjectName(QStringLiteral("tmMediaPlayer"));
  tmMediaPlayer->setInterval(100);

  connect(tmNextFile, &QTimer::timeout, this, &TfmWallpaper::tmNextFileTimer);
  connect(tmMediaPlayer, &QTimer::timeout, this, &TfmWallpaper::tmMediaPlayerTimer);
  // Touches and keys anywhere close the screensaver, on the video too.
  qApp->installEventFilter(this);

  FitFormToMainForm(this);
  pnSerialNumber->setGeometry(0, height() - 48, width(), 48);

  scannerKeyUp = [](QKeyEvent* e) {
    if (fmMain) fmMain->FormKeyUp(e);
  };

  // FormCreate.
  file_ind = -1;
  wallpaper_dir = wallpaperFolder(dataFolder);
  if (fmMain) {
    fmMain->updateSerialNumberPanel(pnSerialNumber);
  } else {
    TFormServices services;
    services.updateSerialNumberPanel(pnSerialNumber);
  }
  tmNextFile->setInterval(std::max(periodSeconds, 1) * 1000);
  tmNextFile->start();
  layoutControls();
  fmWallpaper = this;
}

TfmWallpaper::~TfmWallpaper() {
  qApp->removeEventFilter(this);
  if (MediaPlayer) MediaPlayer->stop();
  if (fmWallpaper == this) fmWallpaper = nullptr;
}

void TfmWallpaper::layoutControls() {
  const int footer = pnSerialNumber->isHidden() ? 0 : pnSerialNumber->height();
  pnSerialNumber->setGeometry(0, height() - footer, width(), footer);
  const QRect area(0, 0, width(), height() - footer);
  Image->setGeometry(area);
  if (MediaPlayerControl) MediaPlayerControl->setGeometry(area);
}

void TfmWallpaper::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  layoutControls();
}

void TfmWallpaper::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (shown_) return;
  shown_ = true;
  // From the dialog's own event loop: a screensaver with nothing to show
  // closes, and a close before the loop runs would not end it.
  QTimer::singleShot(0, this, &TfmWallpaper::showNextWallpaper);
}

void TfmWallpaper::showNextWallpaper() {
  if (playlist.showNext(wallpaper_files, wallpaper_dir,
                        [this](const QString& path) { return showFile(path); }) < 0)
    closeScreensaver();
}

bool TfmWallpaper::showFile(const QString& path) {
  QImageReader reader(path);
  reader.setAutoTransform(true);
  const QImage picture = reader.read();
  if (!picture.isNull()) {
    if (MediaPlayer) MediaPlayer->stop();
    if (MediaPlayerControl) MediaPlayerControl->hide();
    Image->setPixmap(QPixmap::fromImage(
        picture.scaled(Image->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    Image->show();
    return true;
  }
  // Anything that is not a picture is taken for a video.
  if (!MediaPlayer) {
    // The backend is fixed by the first media object of the process.
    chooseMediaBackend();
    // A backend without its parts may crash rather than report an error.
    if (const QString missing = mediaBackendMissingParts(); !missing.isEmpty()) {
      videoFailed(path, missing);
      return false;
    }
    MediaPlayerControl = new QVideoWidget(this);
    MediaPlayerControl->setObjectName(QStringLiteral("MediaPlayerControl"));
    MediaPlayer = new QMediaPlayer(this);
    MediaPlayer->setObjectName(QStringLiteral("MediaPlayer"));
    MediaPlayer->setVideoOutput(MediaPlayerControl);
    // Frames come from the backend's own thread; the connection queues them
    // over to this one.
    connect(MediaPlayerControl->videoSink(), &QVideoSink::videoFrameChanged, this,
            [this](const QVideoFrame& frame) {
              if (frame.isValid()) frameShown_ = true;
            });
    // Kept as it comes: a backend may go on to report the player as
    // playing, and clear error(), after a file it could not open.
    connect(MediaPlayer, &QMediaPlayer::errorOccurred, this,
            [this](QMediaPlayer::Error error, const QString& text) {
              if (error == QMediaPlayer::NoError) return;
              videoError_ = text.isEmpty() ? QStringLiteral("ошибка %1").arg(error) : text;
            });
    layoutControls();
  }
  if (!MediaPlayer->isAvailable()) {
    TVideoCheck noBackend;
    noBackend.available = false;
    videoFailed(path, videoFault(noBackend));
    return false;
  }
  mediaPlayerStartMs = plat::clock().nowMs();
  videoPath_ = path;
  frameShown_ = false;
  videoError_.clear();
  MediaPlayer->setSource(QUrl::fromLocalFile(path));
  // Some backends open the file at once and report a broken one right here.
  if (!videoError_.isEmpty()) {
    MediaPlayer->setSource(QUrl());
    videoFailed(path, videoError_);
    return false;
  }
  MediaPlayer->play();
  MediaPlayerControl->show();
  MediaPlayerControl->raise();
  tmNextFile->stop();
  tmMediaPlayer->start();
  Image->hide();
  return true;
}

void TfmWallpaper::tmNextFileTimer() {
  showNextWallpaper();
}

void TfmWallpaper::tmMediaPlayerTimer() {
  const bool input = lastInputMs_ >= 0 && lastInputMs_ >= mediaPlayerStartMs;
  const bool playing = MediaPlayer && MediaPlayer->playbackState() == QMediaPlayer::PlayingState;
  const int64_t position = MediaPlayer ? MediaPlayer->position() : 0;
  const int64_t duration = MediaPlayer ? MediaPlayer->duration() : 0;
  const int64_t elapsed = plat::clock().nowMs() - mediaPlayerStartMs;
  const bool opened = duration > 0 || elapsed < kVideoOpenTimeoutMs;
  TVideoCheck check;
  check.available = MediaPlayer && MediaPlayer->isAvailable();
  check.error = videoError_;
  if (check.error.isEmpty() && MediaPlayer && MediaPlayer->error() != QMediaPlayer::NoError)
    check.error = QStringLiteral("ошибка %1").arg(MediaPlayer->error());
  check.invalidMedia = MediaPlayer && MediaPlayer->mediaStatus() == QMediaPlayer::InvalidMedia;
  check.frameShown = frameShown_;
  check.elapsedMs = elapsed;
  QString fault = videoFault(check);
  if (fault.isEmpty() && !opened) fault = QStringLiteral("файл не открылся");
  const bool failed = !fault.isEmpty();
  switch (mediaPlayerTick(input, playing, failed, position, duration, elapsed)) {
    case TMediaTick::Close:
      closeScreensaver();
      return;
    case TMediaTick::Wait:
      return;
    case TMediaTick::Next:
      break;
  }
  tmMediaPlayer->stop();
  if (MediaPlayer) MediaPlayer->stop();
  if (failed) videoFailed(videoPath_, fault);
  tmNextFile->start();
  showNextWallpaper();
}

void TfmWallpaper::videoFailed(const QString& path, const QString& why) {
  if (playlist.failed(path))
    log_(QStringLiteral("Заставка: файл %1 пропущен: %2").arg(QFileInfo(path).fileName(), why));
}

void TfmWallpaper::closeScreensaver() {
  tmNextFile->stop();
  tmMediaPlayer->stop();
  if (MediaPlayer) MediaPlayer->stop();
  if (isVisible())
    done(QDialog::Accepted);
  else
    setResult(QDialog::Accepted);
}

void TfmWallpaper::keyPressEvent(QKeyEvent* e) {
  // The key acts on its release, which the scanner reads.
  e->accept();
}

void TfmWallpaper::keyReleaseEvent(QKeyEvent* e) {
  keyReleased(e);
}

void TfmWallpaper::keyReleased(QKeyEvent* e) {
  e->accept();
  lastInputMs_ = plat::clock().nowMs();
  // Closed first, as the loyalty greeting does: a code the scanner does not
  // know raises, and the screensaver must not stay in front of the message.
  closeScreensaver();
  if (scannerKeyUp) scannerKeyUp(e);
}

bool TfmWallpaper::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::TouchBegin:
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
      // Only input meant for the screensaver: a message shown above it
      // takes its own touches.
      if (QApplication::activeModalWidget() != this) break;
      auto* w = qobject_cast<QWidget*>(watched);
      if (!w || w->window() != this) break;
      if (event->type() == QEvent::KeyPress) return true;  // its release acts
      if (event->type() == QEvent::KeyRelease) {
        auto* key = static_cast<QKeyEvent*>(event);
        // An auto-repeated key is still held down.
        if (key->isAutoRepeat()) return true;
        keyReleased(key);
        return true;
      }
      lastInputMs_ = plat::clock().nowMs();
      closeScreensaver();
      return true;
    }
    default:
      break;
  }
  return QDialog::eventFilter(watched, event);
}
