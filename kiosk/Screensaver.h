#pragma once
// The kiosk's screensaver: after the home screen has been idle for a while it
// shows, one after another, the pictures and videos that the back office
// assigned to the machine, and closes at the first touch or key press. The
// files lie in the data folder's wallpaper folder, where the wallpaper
// download thread puts them.
//
// A key closes it when it is released, and goes on to the scanner: the
// scanner reads key releases, so a scan that wakes the kiosk keeps its first
// digit. The press before it is swallowed.
//
// Which file comes next and what a tick of a playing video decides are plain
// code above the form, so tests drive them without files or a media backend.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <functional>

class QKeyEvent;
class QLabel;
class QMediaPlayer;
class QTimer;
class QVideoWidget;
class TRectangle;

// --- plain logic -------------------------------------------------------------

// The order of the files: after the one on show, the next one that exists and
// can be shown; after the last, the list starts again from the first, once.
class TWallpaperPlaylist {
 public:
  int file_ind = -1;  // index of the file on show; -1 before the first

  // tryShow(path) shows a file and answers whether it could. Returns the
  // index now on show (also file_ind), or -1 when nothing could be shown
  // and the screensaver must close. Files that failed are skipped from then
  // on (see failed()).
  int showNext(const QStringList& files, const QString& dir,
               const std::function<bool(const QString& path)>& tryShow);
  // A file that was taken for a video but did not play: never tried again
  // while this screensaver is open, so a list of broken files ends it.
  void failed(const QString& path) { broken_ << path; }

 private:
  bool tryIndex(const QStringList& files, const QString& dir, int i,
                const std::function<bool(const QString&)>& tryShow);
  QStringList broken_;
};

// What a tick of the video watch decides.
enum class TMediaTick {
  Close,  // the customer touched or pressed a key since the video started
  Wait,   // the video plays on
  Next,   // the video ended, stopped or cannot play: the next file
};
// playing: the player plays (or is still opening the file); positionMs and
// durationMs as the player reports them, duration 0 while unknown; elapsedMs
// since the video was started. A file that has not opened after
// kVideoOpenTimeoutMs counts as one that cannot play: some media backends
// never report an error for a file they cannot read.
inline constexpr int64_t kVideoOpenTimeoutMs = 10000;
TMediaTick mediaPlayerTick(bool inputSinceStart, bool playing, bool failed, int64_t positionMs,
                           int64_t durationMs, int64_t elapsedMs);

// --- the form ----------------------------------------------------------------

class TfmWallpaper : public QDialog {
  Q_OBJECT
 public:
  // files and period: the main form's wallpaper_files and wallpaper_period
  // (seconds); dataFolder holds the wallpaper folder.
  TfmWallpaper(const QStringList& files, int periodSeconds, const QString& dataFolder,
               QWidget* parent = nullptr);
  ~TfmWallpaper() override;

  QLabel* Image;
  QTimer* tmNextFile;
  TRectangle* pnSerialNumber;
  QLabel* lbSerialNumber;
  QLabel* lbSupportPhone;
  QVideoWidget* MediaPlayerControl;
  QMediaPlayer* MediaPlayer;
  QTimer* tmMediaPlayer;

  // The scanner entry of the main form, which gets the key that closes the
  // screensaver; the main form's FormKeyUp by default.
  std::function<void(QKeyEvent*)> scannerKeyUp;

  QStringList wallpaper_files;
  QString wallpaper_dir;
  int64_t mediaPlayerStartMs = 0;  // plat::clock() when the current video started
  TWallpaperPlaylist playlist;
  int& file_ind = playlist.file_ind;

  // Shows the next showable file; closes (modal result 1) when there is none.
  void showNextWallpaper();
  void tmNextFileTimer();
  void tmMediaPlayerTimer();

 protected:
  void showEvent(QShowEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void keyReleaseEvent(QKeyEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  bool showFile(const QString& path);
  void layoutControls();
  void closeScreensaver();
  // A key released on the screensaver: it closes, and the key goes on.
  void keyReleased(QKeyEvent* e);

  int64_t lastInputMs_ = -1;  // plat::clock() of the last touch or key; -1: none
  QString videoPath_;
  bool shown_ = false;
};

// The screensaver while it is open (the home screen's refresh runs under it).
extern TfmWallpaper* fmWallpaper;
