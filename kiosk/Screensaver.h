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

#include <QDateTime>
#include <QDialog>
#include <QHash>
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

// Videos that could not be played, for the life of the process. Each is
// skipped without a new try, and logged once, until the file on disk changes
// (a new download under the same name gets its chance). Main thread only.
class TBrokenWallpapers {
 public:
  // Whether path was recorded and is still the same file.
  bool contains(const QString& path) const;
  // Records path as it is on disk now; true when it was not recorded yet.
  bool add(const QString& path);

 private:
  struct Stamp {
    qint64 size = -1;
    QDateTime modified;
    bool operator==(const Stamp&) const = default;
  };
  static Stamp stampOf(const QString& path);
  QHash<QString, Stamp> files_;
};
// The process's record, shared by every screensaver the home screen opens.
TBrokenWallpapers& brokenWallpapers();

// The order of the files: after the one on show, the next one that exists and
// can be shown; after the last, the list starts again from the first, once.
class TWallpaperPlaylist {
 public:
  explicit TWallpaperPlaylist(TBrokenWallpapers& broken = brokenWallpapers()) : broken_(broken) {}

  int file_ind = -1;  // index of the file on show; -1 before the first

  // tryShow(path) shows a file and answers whether it could. Returns the
  // index now on show (also file_ind), or -1 when nothing could be shown
  // and the screensaver must close. Files that failed are skipped from then
  // on (see failed()).
  int showNext(const QStringList& files, const QString& dir,
               const std::function<bool(const QString& path)>& tryShow);
  // A file that was taken for a video but did not play: not tried again
  // while it stays as it is, so a list of broken files ends the screensaver.
  // True the first time, when it is worth a line in the log.
  bool failed(const QString& path) { return broken_.add(path); }

 private:
  bool tryIndex(const QStringList& files, const QString& dir, int i,
                const std::function<bool(const QString&)>& tryShow);
  TBrokenWallpapers& broken_;
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

// What the video watch sees of the player, for the question whether the file
// can play at all.
struct TVideoCheck {
  bool available = true;  // the player has a working media backend
  QString error;          // the player's error text; empty: no error
  bool invalidMedia = false;
  bool frameShown = false;  // a frame reached the view since the start
  int64_t elapsedMs = 0;    // since the video was started
};
// A video that showed no frame after kVideoFirstFrameTimeoutMs cannot play
// here: a format without a decoder, or a backend that takes the file and
// never shows it.
inline constexpr int64_t kVideoFirstFrameTimeoutMs = 5000;
// Why the video counts as one that cannot play; empty while it may still.
QString videoFault(const TVideoCheck& c);

// --- the form ----------------------------------------------------------------

class TfmWallpaper : public QDialog {
  Q_OBJECT
 public:
  // files and period: the main form's wallpaper_files and wallpaper_period
  // (seconds); dataFolder holds the wallpaper folder; log: the local text
  // log, which gets a line for each video that cannot play.
  TfmWallpaper(const QStringList& files, int periodSeconds, const QString& dataFolder,
               std::function<void(const QString&)> log, QWidget* parent = nullptr);
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
  // The file taken for a video cannot play: skipped from now on, logged once.
  void videoFailed(const QString& path, const QString& why);

  std::function<void(const QString&)> log_;
  int64_t lastInputMs_ = -1;  // plat::clock() of the last touch or key; -1: none
  QString videoPath_;
  bool frameShown_ = false;  // the current video put a frame on the view
  QString videoError_;       // the player's error for the current video; empty: none
  bool shown_ = false;
};

// The screensaver while it is open (the home screen's refresh runs under it).
extern TfmWallpaper* fmWallpaper;
