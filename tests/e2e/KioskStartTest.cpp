// The kiosk program itself, offscreen, in a data folder of its own: it starts
// and logs, a second copy ends after its notice, and SIGTERM closes it in
// order with the settings and their backup saved.

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include "platform/AppPaths.h"
#include "platform/TextCodec.h"
#include "tests/support/ChildProcess.h"

namespace {

// The kiosk lies beside the test programs when VEKTA_TEST_BIN_DIR is not set.
QString kioskBinary() {
  const QString dir = qEnvironmentVariable("VEKTA_TEST_BIN_DIR");
  return (dir.isEmpty() ? plat::programFolder() : dir) + QStringLiteral("/vekta");
}

QString readText(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? plat::fromAnsi(f.readAll()) : QString();
}

// The local log is UTF-8.
QString readLog(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Polls until the file holds a line with `needle`.
bool waitForLine(const QString& path, const QString& needle, int ms) {
  QDeadlineTimer deadline(ms);
  while (!deadline.hasExpired()) {
    if (readLog(path).contains(needle)) return true;
    QThread::msleep(50);
  }
  return false;
}

}  // namespace

TEST(KioskProgram, StartsRefusesASecondCopyAndClosesInOrderOnSigterm) {
  QTemporaryDir data, runtime;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("VEKTA_DATA_DIR"), data.path());
  env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());  // the one-copy lock
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  const QString log = data.filePath(QStringLiteral("vekta.log"));

  using testkit::ChildProcess;
  ChildProcess first;
  ASSERT_TRUE(first.start(kioskBinary(), {}, ChildProcess::Output::Inherit, env))
      << kioskBinary().toStdString();
  ASSERT_TRUE(waitForLine(log, QStringLiteral("Запуск программы"), 30000));

  ChildProcess second;
  ASSERT_TRUE(second.start(kioskBinary(), {}, ChildProcess::Output::Inherit, env));
  ASSERT_TRUE(second.waitFinished(30000)) << "the second copy must end after its notice";
  EXPECT_TRUE(second.normalExit());
  EXPECT_TRUE(first.running());

  ASSERT_TRUE(first.terminate());
  ASSERT_TRUE(first.waitFinished(30000));
  EXPECT_TRUE(first.normalExit());
  EXPECT_EQ(first.exitCode(), 0);

  for (const QString& name : {QStringLiteral("vekta.ini"), QStringLiteral("vekta.ini~")}) {
    SCOPED_TRACE(name.toStdString());
    const QString saved = readText(data.filePath(name));
    EXPECT_TRUE(saved.startsWith(QStringLiteral("[Global]\r\n")));
    EXPECT_TRUE(saved.contains(QStringLiteral("sber_com_port=-1\r\n")));
  }

  const QString text = readLog(log);
  ASSERT_TRUE(text.endsWith(QLatin1Char('\n')));
  EXPECT_FALSE(text.contains(QLatin1Char('\r')));
  const QStringList lines = text.chopped(1).split(QLatin1Char('\n'));
  const QRegularExpression format(
      QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\t[^\\r\\n]+$"));
  for (const QString& line : lines)
    EXPECT_TRUE(format.match(line).hasMatch()) << line.toStdString();
  // Only the first copy logged: one start, one close.
  EXPECT_EQ(text.count(QStringLiteral("Запуск программы")), 1);
  EXPECT_TRUE(lines.last().endsWith(QStringLiteral("\tЗавершение программы")));
}
