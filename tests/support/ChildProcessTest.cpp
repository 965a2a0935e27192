// The guard for programs that tests start: whatever way a test ends, its
// programs and what they started end with it.

#include <gtest/gtest.h>

#include <QFile>

#include "tests/support/ChildProcess.h"

namespace {

using testkit::ChildProcess;

const QString kShell = QStringLiteral("/bin/sh");

// Gone, or dead and waiting only for its new parent to reap it.
bool gone(pid_t pid) {
  if (::kill(pid, 0) != 0) return true;
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return true;
  const QByteArray s = stat.readAll();
  const qsizetype close = s.lastIndexOf(')');
  return close >= 0 && s.mid(close + 2, 1) == "Z";
}

bool becomesGone(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    if (gone(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST(ChildProcess, LeavingTheScopeKillsTheProgramAndWhatItStarted) {
  pid_t leader = -1, started = -1;
  {
    ChildProcess p;
    ASSERT_TRUE(p.start(kShell, {QStringLiteral("-c"), QStringLiteral("sleep 60 & echo $!; wait")},
                        ChildProcess::Output::Capture));
    leader = p.pid();
    started = p.readLine(10000).trimmed().toInt();
    ASSERT_GT(started, 0);
    EXPECT_TRUE(p.running());
  }
  EXPECT_TRUE(becomesGone(leader));
  EXPECT_TRUE(becomesGone(started)) << "the program's own child outlived the test";
}

TEST(ChildProcess, ACrashedTestTakesItsProgramWithIt) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  // The stand-in for a test that crashes: it starts a program and dies
  // without running any destructor.
  const pid_t test = ::fork();
  ASSERT_GE(test, 0);
  if (test == 0) {
    ::close(fds[0]);
    auto* p = new ChildProcess;
    pid_t pid = p->start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")}) ? p->pid() : -1;
    (void)!::write(fds[1], &pid, sizeof pid);
    ::_exit(1);
  }
  ::close(fds[1]);
  pid_t program = -1;
  ASSERT_EQ(::read(fds[0], &program, sizeof program), ssize_t(sizeof program));
  ::close(fds[0]);
  ::waitpid(test, nullptr, 0);
  ASSERT_GT(program, 0);
  EXPECT_TRUE(becomesGone(program));
}

TEST(ChildProcess, ReportsOutputExitAndFailureToStart) {
  ChildProcess p;
  ASSERT_TRUE(p.start(kShell, {QStringLiteral("-c"), QStringLiteral("echo one; echo two; exit 3")},
                      ChildProcess::Output::Capture));
  EXPECT_EQ(p.readLine(10000), QByteArray("one\n"));
  EXPECT_EQ(p.readAll(10000), QByteArray("two\n"));
  ASSERT_TRUE(p.waitFinished(10000));
  EXPECT_TRUE(p.normalExit());
  EXPECT_EQ(p.exitCode(), 3);
  EXPECT_FALSE(p.running());

  ASSERT_TRUE(p.start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")}));
  EXPECT_FALSE(p.waitFinished(20));
  EXPECT_TRUE(p.terminate());
  ASSERT_TRUE(p.waitFinished(10000));
  EXPECT_FALSE(p.normalExit());

  EXPECT_FALSE(p.start(QStringLiteral("/nonexistent/program")));
  EXPECT_FALSE(p.running());
}

}  // namespace
