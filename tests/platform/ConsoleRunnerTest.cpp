#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <thread>

#include "platform/ConsoleRunner.h"
#include "platform/Exception.h"

namespace {

QString u(const char* utf8) {
  return QString::fromUtf8(utf8);
}

QStringList sh(const QString& script) {
  return {u("/bin/sh"), u("-c"), script};
}

// True while the process exists and is not a zombie.
bool alive(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray s = stat.readAll();
  const qsizetype close = s.lastIndexOf(')');
  return close > 0 && close + 2 < s.size() && s[close + 2] != 'Z';
}

// True when no process, not even a zombie, has this id.
bool gone(qint64 pid) {
  return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

qint64 readPid(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return 0;
  return f.readAll().trimmed().toLongLong();
}

std::atomic<bool> noStop{false};

TEST(ConsoleRunner, CapturesOutputAndErrorInOnePipe) {
  struct Case {
    QStringList argv;
    const char* expected;
  } cases[] = {
      {sh(u("printf 'ok\\r\\n'; printf 'E' >&2; printf 'x'")), "ok\r\nEx"},
      {{u("printf"), u("bare name %s"), u("found")}, "bare name found"},
      // Input is /dev/null, so a program that reads it ends at once.
      {{u("cat")}, ""},
      // Windows-1251 bytes, zero bytes dropped.
      {sh(u("printf '\\317\\360\\350\\342\\345\\362\\000!'")), "Привет!"},
      // A program that cannot be started gives empty text, not an error.
      {{u("/nonexistent/program")}, ""},
      {{u("no-such-program-anywhere")}, ""},
      {{}, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RunConsoleCommand(c.argv, noStop), u(c.expected)) << c.argv.join(' ').toStdString();
}

TEST(ConsoleRunner, RunsInTheWorkingFolder) {
  QTemporaryDir dir;
  EXPECT_EQ(RunConsoleCommand({u("pwd")}, noStop, dir.path()), dir.path() + u'\n');
}

TEST(ConsoleRunner, LargeOutputArrivesWhole) {
  const QString out =
      RunConsoleCommand(sh(u("head -c 1048576 /dev/zero | tr '\\000' 'A'; printf END")), noStop);
  ASSERT_EQ(out.size(), 1048576 + 3);
  EXPECT_TRUE(out.endsWith(u("AEND")));
  EXPECT_EQ(out.count(u'A'), 1048576);
}

TEST(ConsoleRunner, TextSplitAcrossReadsIsDecodedWhole) {
  // The pause makes the two halves arrive in separate reads.
  bool started = false;
  const QByteArray raw = plat::runConsoleCommandRaw(
      sh(u("printf '\\317\\360\\350'; sleep 0.2; printf '\\342\\345\\362\\r\\n'")), noStop,
      QString(), &started);
  EXPECT_TRUE(started);
  EXPECT_EQ(raw, QByteArray("\xcf\xf0\xe8\xe2\xe5\xf2\r\n"));
  EXPECT_EQ(
      RunConsoleCommand(
          sh(u("printf '\\317\\360\\350'; sleep 0.2; printf '\\342\\345\\362\\r\\n'")), noStop),
      u("Привет\r\n"));
}

TEST(ConsoleRunner, ChildIsReapedAfterANormalEnd) {
  QTemporaryDir dir;
  const QString pidFile = dir.filePath(u("pid"));
  EXPECT_EQ(RunConsoleCommand(sh(u("echo $$ > '%1'; printf done").arg(pidFile)), noStop),
            u("done"));
  const qint64 pid = readPid(pidFile);
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(gone(pid));
}

TEST(ConsoleRunner, StopWhileTheChildIsSilentKillsItsGroup) {
  QTemporaryDir dir;
  const QString pidFile = dir.filePath(u("pid")), childPidFile = dir.filePath(u("gpid"));
  std::atomic<bool> stop{false};
  QElapsedTimer sinceStop;
  std::jthread stopper([&] {
    // Wait until the child and its own child exist, then ask for the stop.
    for (int i = 0; i < 500 && readPid(childPidFile) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sinceStop.start();
    stop = true;
  });
  const QString script =
      u("echo $$ > '%1'; sleep 30 & echo $! > '%2'; wait").arg(pidFile, childPidFile);
  try {
    RunConsoleCommand(sh(script), stop);
    FAIL() << "no stop";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), u("Операция прервана."));
    EXPECT_STREQ(e.className(), "Exception");
  }
  // Far below the child's 30 s: the silent child did not keep the caller waiting.
  EXPECT_LT(sinceStop.elapsed(), 2000);
  EXPECT_TRUE(gone(readPid(pidFile)));
  // The grandchild went with the group (it may linger as a zombie of init).
  const qint64 grandchild = readPid(childPidFile);
  for (int i = 0; i < 1000 && alive(grandchild); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(alive(grandchild));
}

// How the child ended, for a caller that must know whether a program runs.
TEST(ConsoleRunner, TellsHowTheChildEnded) {
  struct Case {
    const char* name;
    QStringList argv;
    bool started;
    int exitCode;  // -1: not an exit
    int signal;    // 0: no signal
  } cases[] = {
      {"ends with a code", sh(u("exit 3")), true, 3, 0},
      {"ends well", sh(u("echo ok")), true, 0, 0},
      {"dies of a signal", sh(u("kill -TERM $$")), true, -1, SIGTERM},
      {"cannot start", {u("/nonexistent/program")}, false, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool started = !c.started;
    int status = 12345;
    plat::runConsoleCommandRaw(
        c.argv, [] { return false; }, QString(), &started, &status);
    EXPECT_EQ(started, c.started);
    if (!c.started) {
      EXPECT_EQ(status, -1);
    } else if (c.signal) {
      ASSERT_TRUE(WIFSIGNALED(status));
      EXPECT_EQ(WTERMSIG(status), c.signal);
    } else {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), c.exitCode);
    }
  }
  // A caller's deadline ends a child that never does, with no status.
  int status = 0, asked = 0;
  EXPECT_THROW(plat::runConsoleCommandRaw(
                   sh(u("sleep 30")), [&] { return ++asked > 3; }, QString(), nullptr, &status),
               Exception);
  EXPECT_EQ(status, -1);
}

TEST(ConsoleRunner, StopRequestedBeforehandStartsNothing) {
  std::atomic<bool> stop{true};
  EXPECT_THROW(RunConsoleCommand({u("true")}, stop), Exception);
}

TEST(ConsoleRunner, FinishedOutputIsKeptWhenStoppedAfterTheChildClosedIt) {
  // The child writes, closes its output and stays; a stop then ends it but
  // keeps what it wrote, whether or not the runner had read it yet.
  QTemporaryDir dir;
  const QString marker = dir.filePath(u("closed"));
  std::atomic<bool> stop{false};
  std::jthread stopper([&] {
    for (int i = 0; i < 500 && !QFile::exists(marker); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
  });
  EXPECT_EQ(RunConsoleCommand(
                sh(u("printf 'ok\\r\\n'; exec >&- 2>&-; : > '%1'; sleep 30").arg(marker)), stop),
            u("ok\r\n"));
}

}  // namespace
