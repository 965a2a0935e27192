#include "kiosk/ProgramCheck.h"

#include <sys/wait.h>

#include <QList>

#include "platform/Clock.h"
#include "platform/Common.h"
#include "platform/ConsoleRunner.h"
#include "platform/Exception.h"

namespace {

constexpr char kAnswerPrefix[] = "vekta ";
// Enough of what a failing program printed to say why (the loader's message).
constexpr qsizetype kReasonOutput = 300;

QString firstLine(const QByteArray& output) {
  const QByteArray line = output.left(output.indexOf('\n')).trimmed();
  return QString::fromUtf8(line.left(kReasonOutput));
}

// The program's own words, when it said any.
QString withOutput(const QString& text, const QByteArray& output) {
  const QString said = QString::fromUtf8(output.trimmed().left(kReasonOutput)).simplified();
  return said.isEmpty() ? text : text + QStringLiteral(": ") + said;
}

}  // namespace

QByteArray versionAnswer() {
  return QByteArray(kAnswerPrefix) + GetAppVersion().toUtf8() + '\n';
}

TProgramCheck checkProgramRuns(const QString& file, const std::function<bool()>& abort,
                               int64_t limitMs) {
  TProgramCheck result;
  const int64_t deadline = plat::clock().nowMs() + limitMs;
  bool timedOut = false;
  const auto stopped = [&] {
    if (abort && abort()) return true;
    timedOut = plat::clock().nowMs() >= deadline;
    return timedOut;
  };
  bool started = false;
  int status = -1;
  QByteArray output;
  try {
    output = plat::runConsoleCommandRaw({file, QLatin1String(kVersionArgument)}, stopped, QString(),
                                        &started, &status);
  } catch (const Exception& e) {
    result.reason =
        timedOut ? QStringLiteral("не ответила за %1 с").arg(limitMs / 1000) : e.message();
    return result;
  }
  if (!started) {
    result.reason = QStringLiteral("не запускается");
  } else if (status == -1) {
    result.reason = timedOut ? QStringLiteral("не ответила за %1 с").arg(limitMs / 1000)
                             : QStringLiteral("прервана");
  } else if (WIFSIGNALED(status)) {
    result.reason = withOutput(
        QStringLiteral("завершилась аварийно (сигнал %1)").arg(WTERMSIG(status)), output);
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    result.reason =
        withOutput(QStringLiteral("завершилась с кодом %1").arg(WEXITSTATUS(status)), output);
  } else {
    const QString line = firstLine(output);
    const QString prefix = QLatin1String(kAnswerPrefix);
    if (!line.startsWith(prefix) || line.size() == prefix.size()) {
      result.reason = withOutput(QStringLiteral("не ответила своей версией"), output);
    } else {
      result.runs = true;
      result.version = line.mid(prefix.size());
    }
  }
  return result;
}
