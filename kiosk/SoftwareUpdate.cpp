#include "kiosk/SoftwareUpdate.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

#include "backoffice/JClient.h"
#include "kiosk/KioskHooks.h"
#include "kiosk/ProgramCheck.h"
#include "kiosk/UpdateWatch.h"
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

bool makeExecutableLike(const QString& program, const QString& file) {
  QFileDevice::Permissions perms = QFile::permissions(program);
  perms |= QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
           QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
  return QFile::setPermissions(file, perms);
}

bool installProgramUpdate(const QString& program, QString* error, const TRenameFile& renameFn) {
  const TRenameFile rename = renameFn ? renameFn : [](const QString& from, const QString& to) {
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
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
  if (!makeExecutableLike(program, fresh)) {
    setError(error, QStringLiteral("Не удалось сделать исполняемым файл %1.").arg(fresh));
    return false;
  }
  if (programOnTrial(program) && QFileInfo::exists(backup)) {
    // The program in place never showed its home screen, so the backup is
    // still the last good program: it stays, and only the program on trial
    // makes way.
    if (rename(fresh, program)) return true;
    setError(error, QStringLiteral("Не удалось переименовать %1 в %2.").arg(fresh, program));
    return false;
  }
  if (QFileInfo::exists(backup) && !QFile::remove(backup)) {
    setError(error, QStringLiteral("Не удалось удалить файл %1.").arg(backup));
    return false;
  }
  // The mark comes first: a kiosk that stops halfway must still know that
  // the program in place has not shown that it runs.
  if (!markProgramOnTrial(program)) {
    setError(error, QStringLiteral("Не удалось создать файл %1.").arg(updateTrialPath(program)));
    return false;
  }
  if (!rename(program, backup)) {
    QFile::remove(updateTrialPath(program));
    setError(error, QStringLiteral("Не удалось переименовать %1 в %2.").arg(program, backup));
    return false;
  }
  if (rename(fresh, program)) return true;

  QString text = QStringLiteral("Не удалось переименовать %1 в %2.").arg(fresh, program);
  // The old program goes back where the kiosk starts it from; a copy is the
  // last resort when even that rename fails.
  if (rename(backup, program) || QFile::copy(backup, program))
    QFile::remove(updateTrialPath(program));
  else
    text += QStringLiteral(" Не удалось вернуть на место %1.").arg(program);
  setError(error, text);
  return false;
}

bool startInstalledProgram(IKioskHooks& hooks) {
  const QString program = plat::programFilePath();
  return hooks.startProgram(updateBackupPath(program),
                            watchArguments(program, QCoreApplication::applicationPid()));
}

std::optional<int> runUpdateCommand(int argc, char** argv) {
  if (argc < 2) return std::nullopt;
  const QByteArray first(argv[1]);
  if (first == kVersionArgument) {
    const QByteArray answer = versionAnswer();
    return std::fwrite(answer.constData(), 1, size_t(answer.size()), stdout) ==
                       size_t(answer.size()) &&
                   std::fflush(stdout) == 0
               ? 0
               : 1;
  }
  if (first == kWatchUpdateArgument) {
    QCoreApplication app(argc, argv);
    return runUpdateWatch(QCoreApplication::arguments().mid(2));
  }
  return std::nullopt;
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
  requireWiring(ctx_.report, "TSoftwareUpdateContext::report");
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

bool TSoftwareUpdateThread::refuse(const QString& target) {
  const QByteArray digest = fileDigest(target);
  if (refused_.count(digest)) {
    log(QStringLiteral("Обновление программы отклонено ранее (SHA-256 %1).")
            .arg(QString::fromLatin1(digest)));
    return true;
  }
  if (!makeExecutableLike(ctx_.programPath, target))
    throw EFileError(QStringLiteral("Не удалось сделать исполняемым файл %1.").arg(target));
  const TProgramCheck check = checkProgramRuns(target, [this] { return terminated_.load(); });
  if (check.runs || terminated_) return false;
  refused_.insert(digest);
  const QString text =
      QStringLiteral("Обновление программы %1 (%2 байт, SHA-256 %3) отклонено: %4.")
          .arg(QLatin1String(kSoftwareUpdateRemoteName))
          .arg(QFileInfo(target).size())
          .arg(QString::fromLatin1(digest), check.reason);
  log(text);
  ctx_.report(text);
  return true;
}

void TSoftwareUpdateThread::run() {
  const QString program = ctx_.programPath;
  // The home screen is up, so the program in place runs: the good copy
  // beside it may make way at the next swap. A program put back after its
  // trial is told about once and never taken again.
  if (const auto putBack = confirmProgramRuns(program)) {
    refused_.insert(putBack->digest);
    if (!putBack->report.isEmpty()) {
      log(putBack->report);
      ctx_.report(putBack->report);
    }
  }
  auto client = std::make_unique<TJClient>();
  TClientInterrupt::Scope interruptible(stop_, client.get());
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
      if (refuse(target)) {
        const int64_t refusedAt = plat::clock().nowMs();
        QFile::remove(target);
        if (terminated_) break;
        ++failures_;
        if (!waitUntil(refusedAt + kRetryPauseMs)) break;
        continue;
      }
      if (terminated_) break;
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
      ++failures_;
      if (!waitUntil(failedAt + kRetryPauseMs)) break;
    }
  }
  finished_ = !terminated_;
  // A stop may still come from another thread: it must not reach a client
  // that is already gone.
  stop_.detach();
  client.reset();
}
