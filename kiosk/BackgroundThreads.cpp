#include "kiosk/BackgroundThreads.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QWidget>
#include <chrono>

#include "backoffice/JClient.h"
#include "backoffice/ServerRecords.h"
#include "kiosk/Main.h"
#include "platform/Exception.h"
#include "platform/MainThread.h"

// --- wallpaper download --------------------------------------------------------

QString wallpaperFolder(const QString& dataFolder) {
  return dataFolder + QStringLiteral("/Wallpaper");
}

bool isSafeWallpaperName(const QString& name) {
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return false;
  return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
         !name.contains(QChar(0));
}

TWallpaperThread::TWallpaperThread(TWallpaperThreadContext context) : ctx_(std::move(context)) {}

TWallpaperThread::~TWallpaperThread() {
  terminate();
  if (worker_.joinable()) worker_.join();
}

void TWallpaperThread::start() {
  if (!worker_.joinable() && !terminated_) {
    immediate_checking = true;
    worker_ = std::thread([this] { run(); });
    return;
  }
  wake();
}

void TWallpaperThread::wake() {
  {
    std::lock_guard lock(mutex_);
    immediate_checking = true;
  }
  wake_.notify_all();
}

void TWallpaperThread::terminate() {
  {
    std::lock_guard lock(mutex_);
    terminated_ = true;
  }
  stop_.interrupt();
  wake_.notify_all();
}

void TWallpaperThread::logLine(const QString& text) {
  if (!ctx_.log) return;
  try {
    ctx_.log(text);
  } catch (...) {
  }
}

void TWallpaperThread::sleepUntilWoken(int maxMs) {
  std::unique_lock lock(mutex_);
  const auto until = [this] { return terminated_.load() || immediate_checking.load(); };
  if (maxMs < 0)
    wake_.wait(lock, until);
  else
    wake_.wait_for(lock, std::chrono::milliseconds(maxMs), until);
}

void TWallpaperThread::run() {
  JClient = std::make_unique<TJClient>();
  stop_.attach(JClient.get());
  immediate_checking = true;
  while (!terminated_) {
    const bool ok = pass();
    ++passes_;
    if (terminated_) break;
    if (!ok) {
      // Wait out the pause even when woken: a failing server is not asked
      // again at once.
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(retryPauseMs),
                     [this] { return terminated_.load(); });
      continue;
    }
    sleepUntilWoken(-1);
  }
  // The connection is closed by the thread that used it.
  stop_.detach();
  JClient.reset();
}

bool TWallpaperThread::pass() {
  if (ctx_.synchronize) {
    const bool ran =
        plat::runOnMain([this] { ctx_.synchronize(*JClient, wallpaper_files); }, &terminated_);
    if (!ran) return true;
  }
  const QString folder = wallpaperFolder(ctx_.dataFolder);
  QDir().mkpath(folder + QStringLiteral("/Tmp"));

  // The server's information stands inside the pass's error handling: a
  // server that is down now is asked again after the pause, instead of the
  // downloads stopping until the program restarts.
  TAppServerInfo info;
  try {
    JClient->getAppServerInfo(info, 30);
  } catch (const std::exception& e) {
    const QString text = QStringLiteral("TWallpaperThread: ") + exceptionMessage(e);
    if (lastError_.value(QString()) != text) logLine(text);
    lastError_.insert(QString(), text);
    return false;
  }
  lastError_.remove(QString());
  immediate_checking = false;

  const QString sep = info.separator.isEmpty() ? QStringLiteral("\\") : info.separator;
  const QString remoteFolder = info.workingFolder + sep + QStringLiteral("VektaWallpaper") + sep;
  bool ok = true;
  for (const QString& name : wallpaper_files) {
    if (terminated_) break;
    try {
      if (!isSafeWallpaperName(name))
        throw Exception(QStringLiteral("Недопустимое имя файла \"") + name + QStringLiteral("\"."));
      if (QFileInfo::exists(folder + QLatin1Char('/') + name)) continue;
      download(folder, remoteFolder, name);
      lastError_.remove(name);
    } catch (const std::exception& e) {
      ok = false;
      immediate_checking = true;
      const QString text = exceptionMessage(e);
      if (lastError_.value(name) != text)
        logLine(QStringLiteral("TWallpaperThread: ") + name + QStringLiteral(": ") + text);
      lastError_.insert(name, text);
    }
  }
  return ok;
}

void TWallpaperThread::download(const QString& folder, const QString& remoteFolder,
                                const QString& name) {
  const QString tmp = folder + QStringLiteral("/Tmp/") + name;
  JClient->readFile(remoteFolder + name, tmp, 4, false, {}, 30);
  const QString target = folder + QLatin1Char('/') + name;
  if (!QFile::rename(tmp, target))
    throw EFileError(QStringLiteral("Cannot move file \"%1\" to \"%2\".").arg(tmp, target));
}

// --- keeping the kiosk in front ---------------------------------------------------

QWidget* kioskTopForm() {
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  return fmMain;
}

bool forceForegroundWindow(QWidget* w) {
  if (!w) return false;
  if (w->isMinimized()) w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
  if (w->isActiveWindow()) return true;
  w->raise();
  w->activateWindow();
  return w->isActiveWindow();
}

void hideShellOverlays() {
  QWidget* top = kioskTopForm();
  if (top && top->isVisible() && top->isMinimized()) forceForegroundWindow(top);
}

void tmBringToFrontTimer() {
  if (!QApplication::activeWindow()) {
    if (QWidget* top = kioskTopForm()) forceForegroundWindow(top);
  }
  if (QWidget* active = QApplication::activeWindow()) active->update();
}

TCharmBarThread::TCharmBarThread(std::function<void()> step)
    : step_(step ? std::move(step) : std::function<void()>(hideShellOverlays)),
      timer_(std::make_unique<QTimer>()) {
  timer_->setInterval(kIntervalMs);
  QObject::connect(timer_.get(), &QTimer::timeout, [this] {
    try {
      step_();
    } catch (...) {
    }
  });
  timer_->start();
}

TCharmBarThread::~TCharmBarThread() = default;

void TCharmBarThread::terminate() {
  timer_->stop();
}
