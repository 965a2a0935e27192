#pragma once
// Smaller workers that run beside the kiosk's screens: the wallpaper download
// thread, which keeps the screensaver's files (named by the back office) in
// the data folder, and the guards that keep the kiosk's own window in front:
// the shell guard thread and the bring-to-front timer's tick.

#include <QHash>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "kiosk/ClientInterrupt.h"

class QTimer;

class QWidget;
class TJClient;

// --- wallpaper download --------------------------------------------------------

// The folder of the screensaver's files in the data folder, and the subfolder
// of downloads in progress.
QString wallpaperFolder(const QString& dataFolder);
// A file name from the back office is used only when it names a file inside
// the wallpaper folder: not empty, no folder part, not "." or "..".
bool isSafeWallpaperName(const QString& name);

struct TWallpaperThreadContext {
  QString dataFolder;
  // Main thread, at the start of every pass: the main client's settings into
  // the thread's own client (Assign, progress off) and the file list.
  std::function<void(TJClient& client, QStringList& files)> synchronize;
  // The local text log; any thread.
  std::function<void(const QString&)> log;
};

// Downloads every listed file that is missing from the wallpaper folder into
// its "Tmp" subfolder (resuming a partial file) and moves it in when whole.
// Files no longer listed are left alone. After a pass it sleeps until woken
// (immediate_checking), so a settings application wakes it for a new list.
class TWallpaperThread {
 public:
  // The pause after a pass in which something failed, so that a file the
  // server does not have is asked for again every few seconds, not in a
  // tight loop.
  static constexpr int kRetryPauseMs = 5000;

  explicit TWallpaperThread(TWallpaperThreadContext context);
  // Stops the worker and waits for the transfer in flight.
  ~TWallpaperThread();
  TWallpaperThread(const TWallpaperThread&) = delete;
  TWallpaperThread& operator=(const TWallpaperThread&) = delete;

  // Starts the worker (once); later calls only wake it.
  void start();
  bool started() const { return worker_.joinable(); }
  // Sets immediate_checking and wakes the worker.
  void wake();
  // Asks the worker to end without waiting: hand-overs are refused from then
  // on and a transfer in flight is broken off.
  void terminate();

  // Finished passes; tests wait on it.
  int passes() const { return passes_.load(); }

  std::atomic<bool> immediate_checking{true};
  int retryPauseMs = kRetryPauseMs;  // tests shorten it

 private:
  void run();
  bool pass();  // false when some step failed
  void download(const QString& folder, const QString& remoteFolder, const QString& name);
  void sleepUntilWoken(int maxMs);
  void logLine(const QString& text);

  TWallpaperThreadContext ctx_;
  std::unique_ptr<TJClient> JClient;
  QStringList wallpaper_files;
  // The last error logged per name, so that a file that keeps failing the
  // same way does not fill the local log.
  QHash<QString, QString> lastError_;
  std::atomic<bool> terminated_{false};
  TClientInterrupt stop_;
  std::atomic<int> passes_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread worker_;
};

// --- keeping the kiosk in front ---------------------------------------------------

// The kiosk's topmost form: the modal screen on top, else the main form.
QWidget* kioskTopForm();

// Restores a minimised window, raises it and asks for the focus; true when
// it is the active window afterwards (a window manager may refuse).
bool forceForegroundWindow(QWidget* w);

// The shell guard's step, on the main thread: a desktop's "show desktop" or
// overview minimises every window; the kiosk's topmost form comes back at
// once. Foreign windows cannot be told apart here, so everything else is
// left to the bring-to-front timer.
void hideShellOverlays();

// tmBringToFront's tick: when no kiosk window is active, the topmost form
// takes the foreground; then the active form is repainted.
void tmBringToFrontTimer();

// Runs the shell guard's step on the main thread every 250 ms, from creation
// (on the main thread) until destroyed; failures of the step are ignored.
// The step's timer runs on the main thread itself: a worker that woke every
// 250 ms only to hand the step over woke two threads for each step of an
// idle kiosk.
class TCharmBarThread {
 public:
  static constexpr int kIntervalMs = 250;
  // step: the main-thread work; default hideShellOverlays.
  explicit TCharmBarThread(std::function<void()> step = {});
  ~TCharmBarThread();
  TCharmBarThread(const TCharmBarThread&) = delete;
  TCharmBarThread& operator=(const TCharmBarThread&) = delete;
  void terminate();

 private:
  std::function<void()> step_;
  std::unique_ptr<QTimer> timer_;
};
