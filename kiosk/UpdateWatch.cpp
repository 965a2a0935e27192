#include "kiosk/UpdateWatch.h"

#include <signal.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <cstdio>

#include "kiosk/CloseBudget.h"
#include "kiosk/SoftwareUpdate.h"
#include "platform/Clock.h"

namespace {

constexpr int64_t kPollMs = 250;
// A killed program is gone at once; this only bounds a kernel that is slow about it.
constexpr int64_t kKillWaitMs = 5'000;

// True while the process exists and has not ended (a zombie has).
bool running(qint64 pid) {
  if (pid <= 0) return false;
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray s = stat.readAll();
  const qsizetype close = s.lastIndexOf(')');
  return close > 0 && close + 2 < s.size() && s[close + 2] != 'Z' && s[close + 2] != 'X';
}

bool startDetached(const QString& program, const QStringList& arguments, qint64* pid) {
  return QProcess::startDetached(program, arguments, QString(), pid);
}

bool writeNote(const QString& path, const QByteArray& bytes) {
  QSaveFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit();
}

}  // namespace

QString updateTrialPath(const QString& program) {
  return program + QStringLiteral(".trial");
}

QString updateRefusedPath(const QString& program) {
  return program + QStringLiteral(".refused");
}

QByteArray fileDigest(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  QCryptographicHash hash(QCryptographicHash::Sha256);
  if (!hash.addData(&f)) return {};
  return hash.result().toHex();
}

bool programOnTrial(const QString& program) {
  return QFileInfo::exists(updateTrialPath(program));
}

bool markProgramOnTrial(const QString& program) {
  QFile f(updateTrialPath(program));
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

std::optional<TRefusedProgram> confirmProgramRuns(const QString& program) {
  QFile::remove(updateTrialPath(program));
  const QString path = updateRefusedPath(program);
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
  const QByteArray bytes = f.readAll();
  f.close();
  const qsizetype end = bytes.indexOf('\n');
  TRefusedProgram refused;
  refused.digest = bytes.left(end).trimmed();
  if (refused.digest.isEmpty()) return std::nullopt;
  if (end >= 0) refused.report = QString::fromUtf8(bytes.mid(end + 1)).trimmed();
  // Told once; the digest stays, so the same file is never taken again.
  if (!refused.report.isEmpty()) writeNote(path, refused.digest + '\n');
  return refused;
}

bool watchUpdatedProgram(const TUpdateWatch& watch) {
  const TStartDetached start = watch.start ? watch.start : startDetached;
  const QString program = watch.program;
  const QStringList afterUpdate{QLatin1String(kAfterUpdateArgument)};
  plat::Clock& clock = plat::clock();

  QString failure;
  qint64 pid = 0;
  if (!start(program, afterUpdate, &pid)) {
    failure = QStringLiteral("не запустилась");
  } else {
    const int64_t startedAt = clock.nowMs();
    int64_t trialEnd = -1;  // counted from the predecessor's end
    for (;;) {
      if (!programOnTrial(program)) return true;
      if (!running(pid)) {
        failure = QStringLiteral("завершилась, не показав главную страницу");
        break;
      }
      const int64_t now = clock.nowMs();
      if (trialEnd < 0) {
        if (!running(watch.predecessor) || now - startedAt >= watch.handOverMs)
          trialEnd = now + watch.trialMs;
      } else if (now >= trialEnd) {
        failure = QStringLiteral("не показала главную страницу за %1 с").arg(watch.trialMs / 1000);
        ::kill(pid_t(pid), SIGKILL);
        for (const int64_t until = clock.nowMs() + kKillWaitMs;
             running(pid) && clock.nowMs() < until;)
          clock.sleepMs(kPollMs / 5);
        break;
      }
      clock.sleepMs(kPollMs);
    }
  }
  // It may have shown its home screen just before it ended.
  if (!programOnTrial(program)) return true;

  const QString backup = updateBackupPath(program);
  const QByteArray digest = fileDigest(program);
  QString report = QStringLiteral(
                       "Обновление программы (%1 байт, SHA-256 %2) отменено: новая "
                       "программа %3.")
                       .arg(QFileInfo(program).size())
                       .arg(QString::fromLatin1(digest), failure);
  // std::rename replaces the file in place in one step.
  const bool restored =
      QFileInfo::exists(backup) && std::rename(QFile::encodeName(backup).constData(),
                                               QFile::encodeName(program).constData()) == 0;
  report += restored ? QStringLiteral(" Возвращена прежняя программа.")
                     : QStringLiteral(" Не удалось вернуть прежнюю программу из %1.").arg(backup);
  writeNote(updateRefusedPath(program), digest + '\n' + report.toUtf8() + '\n');
  if (restored) {
    QFile::remove(updateTrialPath(program));
    start(program, afterUpdate, nullptr);
  }
  return false;
}

QStringList watchArguments(const QString& program, qint64 predecessor) {
  return {QLatin1String(kWatchUpdateArgument), program, QString::number(predecessor)};
}

int runUpdateWatch(const QStringList& arguments) {
  if (arguments.size() < 2) return 2;
  TUpdateWatch watch;
  watch.program = arguments[0];
  watch.predecessor = arguments[1].toLongLong();
  watch.handOverMs = closeBudget().handOverWaitMs();
  return watchUpdatedProgram(watch) ? 0 : 1;
}
