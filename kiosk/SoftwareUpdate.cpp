#include "kiosk/SoftwareUpdate.h"

#include <QFile>
#include <QFileInfo>

#include "backoffice/JClient.h"
#include "kiosk/KioskHooks.h"
#include "platform/AppPaths.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/MainThread.h"

namespace {

constexpr int kDownloadTimeoutS = 30;
constexpr int64_t kLockRetryMs = 250;

void setError(QString* error, const QString& text) {
  if (error) *error = text;
}

bool defaultDownload(TJClient& client, const QString& target, const std::function<bool()>& abort) {
  // A stop interrupts the socket wait; the progress callback also ends a
  // download that keeps coming in.
  auto progress = [&](double) {
    if (abort()) throw EAbort(QString());
  };
  return client.getSoftwareUpdateII(target, QLatin1String(kSoftwareUpdateRemoteName), progress,
                                    kDownloadTimeoutS);
}

}  // namespace

QString updateDownloadPath(const QString& program) {
  return program + QStringLiteral(".new");
}

QString updateBackupPath(const QString& program) {
  return program + QStringLiteral(".tmp");
}

bool installProgramUpdate(const QString& program, QString* error, const TRenameFile& renameFn) {
  const TRenameFile rename = renameFn ? renameFn : [](const QString& from, const QString& to) {
    return QFile::rename(from, to);
  };
  const QString fresh = updateDownloadPath(program);
  const QString backup = updateBackupPath(program);

  const QFileInfo freshInfo(fresh);
  if (!freshInfo.isFile() || freshInfo.size() <= 0) {
    setError(error, QStringLiteral("Файл обновления %1 отсутствует или пуст.").arg(fresh));
    return false;
  }
  // A download of another kind (a Windows program, an error page) would leave
  // the kiosk unable to start: the update must be the same kind of executable.
  const auto magic = [](const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(4) : QByteArray();
  };
  static const QByteArray kElf("\x7f" "ELF", 4);
  if (magic(program) == kElf && magic(fresh) != kElf) {
    setError(error, QStringLiteral("Файл обновления %1 не является программой для этой системы.")
                        .arg(fresh));
    return false;
  }
  // The executable bits go on before the swap: a program in place that
  // cannot be started would stop the kiosk at its next start.
  QFileDevice::Permissions perms = QFile::permissions(program);
  perms |= QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
           QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
  if (!QFile::setPermissions(fresh, perms)) {
    setError(error, QStringLiteral("Не удалось сделать исполняемым файл %1.").arg(fresh));
    return false;
  }
  if (QFileInfo::exists(backup) && !QFile::remove(backup)) {
    setError(error, QStringLiteral("Не удалось удалить файл %1.").arg(backup));
    return false;
  }
  if (!rename(program, backup)) {
    setError(error, QStringLiteral("Не удалось переименовать %1 в %2.").arg(program, backup));
    return false;
  }
  if (rename(fresh, program)) return true;

  QString text = QStringLiteral("Не удалось переименовать %1 в %2.").arg(fresh, program);
  // The old program goes back where the kiosk starts it from; a copy is the
  // last resort when even that rename fails.
  if (!rename(backup, program) && !QFile::copy(backup, program))
    text += QStringLiteral(" Не удалось вернуть на место %1.").arg(program);
  setError(error, text);
  return false;
}

bool startUpdatedProgram(IKioskHooks& hooks, const QString& program) {
  return hooks.startProgram(program, {QLatin1String(kAfterUpdateArgument)});
}

bool startInstalledProgram(IKioskHooks& hooks) {
  return startUpdatedProgram(hooks, plat::programFilePath());
}

bool waitForInstanceLock(const std::function<bool()>& tryLock, int64_t waitMs) {
  const int64_t deadline = plat::clock().nowMs() + waitMs;
  for (;;) {
    if (tryLock()) return true;
    if (plat::clock().nowMs() >= deadline) return false;
    plat::clock().sleepMs(kLockRetryMs);
  }
}

// --- the worker --------------------------------------------------------------

TSoftwareUpdateThread::TSoftwareUpdateThread(TSoftwareUpdateContext context)
    : ctx_(std::move(context)) {
  if (ctx_.programPath.isEmpty()) ctx_.programPath = plat::programFilePath();
  if (!ctx_.download) ctx_.download = defaultDownload;
}

TSoftwareUpdateThread::~TSoftwareUpdateThread() {
  terminate();
  if (worker_.joinable()) worker_.join();
}

void TSoftwareUpdateThread::start() {
  if (worker_.joinable() || terminated_) return;
  worker_ = std::thread([this] { run(); });
}

void TSoftwareUpdateThread::terminate() {
  {
    std::lock_guard lock(m_);
    terminated_ = true;
  }
  stop_.interrupt();
  wake_.notify_all();
}

void TSoftwareUpdateThread::log(const QString& text) const {
  if (ctx_.log) ctx_.log(text);
}

bool TSoftwareUpdateThread::waitUntil(int64_t untilMs) {
  std::unique_lock lock(m_);
  if (untilMs == INT64_MAX) {
    // Only the end can come: sleep until terminate() says so, without waking
    // every slice to look at a clock that can never reach the deadline.
    wake_.wait(lock, [this] { return terminated_.load(); });
    return false;
  }
  return !plat::waitUntilMs(wake_, lock, untilMs, [this] { return terminated_.load(); });
}

void TSoftwareUpdateThread::run() {
  auto client = std::make_unique<TJClient>();
  TClientInterrupt::Scope interruptible(stop_, client.get());
  const QString program = ctx_.programPath;
  const QString target = updateDownloadPath(program);
  const auto aborted = [this] { return terminated_.load(); };
  while (!terminated_) {
    try {
      if (ctx_.synchronize) {
        const bool ran = plat::runOnMain([&] { ctx_.synchronize(*client); }, &terminated_);
        if (!ran) break;
      }
      client->setShowProgress(false);
      // A file left by an earlier attempt is never resumed: the offer may
      // have changed since.
      if (QFileInfo::exists(target) && !QFile::remove(target))
        throw EFileError(QStringLiteral("Не удалось удалить файл %1.").arg(target));
      ++attempts_;
      if (!ctx_.download(*client, target, aborted)) {
        // Nothing on offer: no further question while this home screen lives.
        waitUntil(INT64_MAX);
        break;
      }
      QString error;
      if (installProgramUpdate(program, &error)) {
        log(QStringLiteral("Установлено обновление программы."));
        if (ctx_.installed) plat::runOnMain(ctx_.installed, &terminated_);
      } else {
        log(QStringLiteral("Ошибка установки обновления программы (%1)").arg(error));
        QFile::remove(target);
      }
      break;
    } catch (const std::exception& e) {
      const int64_t failedAt = plat::clock().nowMs();
      // Half a program must never be mistaken for the update later.
      QFile::remove(target);
      if (terminated_) break;
      log(QStringLiteral("Ошибка загрузки обновления программы (%1)").arg(exceptionMessage(e)));
      if (!waitUntil(failedAt + kRetryPauseMs)) break;
    }
  }
  finished_ = !terminated_;
  // A stop may still come from another thread: it must not reach a client
  // that is already gone.
  stop_.detach();
  client.reset();
}
