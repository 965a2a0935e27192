// The program update: the file swap on a temporary folder, the download from
// the stand-in back office, and the pause after a failed attempt.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <mutex>
#include <vector>

#include "backoffice/JClient.h"
#include "kiosk/Expectation.h"
#include "kiosk/Main.h"
#include "kiosk/SoftwareUpdate.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "testbed/SimHandlers.h"
#include "tests/support/KioskHooksStub.h"

namespace {

void writeAll(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(data);
}

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs the main thread's queue (the worker's hand-overs) while waiting.
bool waitFor(const std::function<bool()>& done, int ms = 20000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

// A program "vekta" at work in a temporary folder, and its downloaded successor.
class ProgramFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    writeAll(program, "old program");
    QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ExeOwner | QFileDevice::ReadOther);
  }
  QTemporaryDir dir;
  const QString program = dir.filePath(QStringLiteral("vekta"));
  const QString fresh = program + QStringLiteral(".new");
  const QString backup = program + QStringLiteral(".tmp");
};

using SwapTest = ProgramFolder;

TEST_F(SwapTest, EachFailingRenameLeavesTheOldProgramWhereItStarts) {
  struct Case {
    const char* name;
    std::vector<int> failingCalls;  // 1: program -> .tmp, 2: .new -> program, 3: back again
    bool installed;
  };
  const Case cases[] = {
      {"no failure", {}, true},
      {"program cannot move aside", {1}, false},
      {"new file cannot take its place", {2}, false},
      {"and the old one cannot be renamed back", {2, 3}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeAll(program, "old program");
    writeAll(fresh, "new program");
    writeAll(backup, "stale backup");
    int call = 0;
    auto rename = [&](const QString& from, const QString& to) {
      ++call;
      for (int f : c.failingCalls)
        if (f == call) return false;
      return QFile::rename(from, to);
    };
    QString error;
    EXPECT_EQ(installProgramUpdate(program, &error, rename), c.installed);
    if (c.installed) {
      EXPECT_EQ(readAll(program), "new program");
      EXPECT_TRUE(QFileInfo(program).isExecutable());
      EXPECT_EQ(readAll(backup), "old program");
      EXPECT_FALSE(QFileInfo::exists(fresh));
      EXPECT_TRUE(error.isEmpty());
    } else {
      EXPECT_EQ(readAll(program), "old program");
      EXPECT_FALSE(error.isEmpty());
    }
    QFile::remove(fresh);
    QFile::remove(backup);
  }
}

TEST_F(SwapTest, NothingMovesWithoutACompleteDownload) {
  for (const bool emptyFile : {false, true}) {
    SCOPED_TRACE(emptyFile ? "empty download" : "no download");
    QFile::remove(fresh);
    if (emptyFile) writeAll(fresh, QByteArray());
    int renames = 0;
    EXPECT_FALSE(installProgramUpdate(program, nullptr, [&](const QString&, const QString&) {
      ++renames;
      return true;
    }));
    EXPECT_EQ(renames, 0);
    EXPECT_EQ(readAll(program), "old program");
  }
}

TEST_F(SwapTest, ALinuxProgramIsReplacedOnlyByALinuxProgram) {
  writeAll(program, QByteArray("\x7f" "ELF old", 8));
  writeAll(fresh, "MZ a Windows program");
  QString error;
  EXPECT_FALSE(installProgramUpdate(program, &error));
  EXPECT_TRUE(error.contains(QStringLiteral("не является программой")));
  EXPECT_EQ(readAll(program), QByteArray("\x7f" "ELF old", 8));

  writeAll(fresh, QByteArray("\x7f" "ELF new", 8));
  EXPECT_TRUE(installProgramUpdate(program, &error));
  EXPECT_EQ(readAll(program), QByteArray("\x7f" "ELF new", 8));
}

// The worker against a scripted download on a clock that moves only when told.
class UpdateWorker : public ProgramFolder {
 protected:
  void SetUp() override {
    ProgramFolder::SetUp();
    plat::setClock(&clock);
  }
  void TearDown() override {
    thread.reset();
    plat::setClock(nullptr);
  }
  void startWorker(std::function<bool(const QString& target)> download) {
    TSoftwareUpdateContext ctx;
    ctx.programPath = program;
    ctx.download = [download](TJClient&, const QString& target, const std::function<bool()>&) {
      return download(target);
    };
    ctx.installed = [this] { installed = true; };
    ctx.log = [this](const QString& text) {
      std::lock_guard lock(mutex);
      logLines << text;
    };
    thread = std::make_unique<TSoftwareUpdateThread>(std::move(ctx));
    thread->start();
  }
  qsizetype logCount() {
    std::lock_guard lock(mutex);
    return logLines.size();
  }

  plat::ManualClock clock;
  std::unique_ptr<TSoftwareUpdateThread> thread;
  std::atomic<bool> installed{false};
  std::mutex mutex;
  QStringList logLines;
};

TEST_F(UpdateWorker, BrokenDownloadIsRetriedAfterTenMinutesFromAFreshFile) {
  writeAll(fresh, "left from an earlier run");
  std::vector<int64_t> calls;  // clock at each download
  std::vector<bool> targetExisted;
  startWorker([&](const QString& target) {
    calls.push_back(clock.nowMs());
    targetExisted.push_back(QFileInfo::exists(target));
    if (calls.size() == 1) {
      writeAll(target, "half a pro");
      throw Exception(QStringLiteral("Connection lost."));
    }
    writeAll(target, "new program");
    return true;
  });

  ASSERT_TRUE(waitFor([&] { return logCount() == 1; }));
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(logLines[0].contains(QStringLiteral("Connection lost.")));
  }
  // The broken file is gone and the running program untouched.
  EXPECT_FALSE(QFileInfo::exists(fresh));
  EXPECT_EQ(readAll(program), "old program");

  clock.advance(TSoftwareUpdateThread::kRetryPauseMs - 1);
  QThread::msleep(100);
  EXPECT_EQ(thread->attempts(), 1);

  clock.advance(1);
  ASSERT_TRUE(waitFor([&] { return thread->finished() && installed; }));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1] - calls[0], TSoftwareUpdateThread::kRetryPauseMs);
  EXPECT_EQ(targetExisted, (std::vector<bool>{false, false}));
  EXPECT_EQ(readAll(program), "new program");
  EXPECT_EQ(readAll(backup), "old program");
}

TEST_F(UpdateWorker, NoOfferMeansNoFurtherQuestion) {
  startWorker([](const QString&) { return false; });
  ASSERT_TRUE(waitFor([&] { return thread->attempts() == 1; }));
  for (int i = 0; i < 5; ++i) {
    clock.advance(TSoftwareUpdateThread::kRetryPauseMs);
    QThread::msleep(20);
  }
  EXPECT_EQ(thread->attempts(), 1);
  EXPECT_FALSE(thread->finished());
  EXPECT_EQ(readAll(program), "old program");
  // Closing the home screen ends the idle worker promptly.
  thread.reset();
}

TEST_F(UpdateWorker, AFailedSwapEndsTheWorkerWithoutARestart) {
  // A backup that cannot be removed stops the swap before anything moves.
  QDir().mkpath(backup + QStringLiteral("/busy"));
  startWorker([&](const QString& target) {
    writeAll(target, "new program");
    return true;
  });
  ASSERT_TRUE(waitFor([&] { return thread->finished(); }));
  EXPECT_FALSE(installed);
  EXPECT_EQ(thread->attempts(), 1);
  EXPECT_EQ(readAll(program), "old program");
  EXPECT_FALSE(QFileInfo::exists(fresh));
}

TEST(InstanceLockWait, TriesUntilThePredecessorIsGone) {
  plat::ManualClock clock;
  plat::setClock(&clock);
  int tries = 0;
  EXPECT_TRUE(waitForInstanceLock([&] { return ++tries == 5; }, 60000));
  EXPECT_EQ(tries, 5);
  tries = 0;
  const int64_t start = clock.nowMs();
  EXPECT_FALSE(waitForInstanceLock([&] { return ++tries < 0; }, 2000));
  EXPECT_GE(clock.nowMs() - start, 2000);
  EXPECT_EQ(tries, 9);
  plat::setClock(nullptr);
}

// A real swap by a running program: the stand-in "vekta" puts "vekta.new"
// in its own place and restarts as the kiosk does. The started file must be
// the new program, not the old one that now lies at "vekta.tmp", which is
// where the running program's /proc/self/exe points after the swap.
TEST(UpdateRestart, StartsTheNewProgramFromTheOriginalPath) {
  QTemporaryDir dir;
  const QString program = QDir(dir.path()).canonicalPath() + QStringLiteral("/vekta");
  QByteArray probe = readAll(QStringLiteral(VEKTA_UPDATE_PROBE));
  ASSERT_FALSE(probe.isEmpty());
  writeAll(program, probe);
  // Trailing bytes tell the successor apart; an ELF program runs all the same.
  const QByteArray successor = probe + QByteArray("new program");
  writeAll(program + QStringLiteral(".new"), successor);
  const auto exe = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
  ASSERT_TRUE(QFile::setPermissions(program, exe));

  const QString report = dir.filePath(QStringLiteral("report"));
  QProcess old;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("VEKTA_PROBE_REPORT"), report);
  old.setProcessEnvironment(env);
  old.start(program, {});
  ASSERT_TRUE(old.waitForFinished(30000));
  // The restarted copy runs detached; it writes its report and ends.
  ASSERT_TRUE(waitFor([&] { return !readAll(report).isEmpty(); }, 30000));

  EXPECT_EQ(QString::fromUtf8(readAll(report)).toStdString(), program.toStdString());
  EXPECT_EQ(readAll(program), successor);
  EXPECT_EQ(readAll(program + QStringLiteral(".tmp")), probe);
}

// The whole path against the stand-in back office: the update comes from its
// files folder through request 78 and lands as the program.
TEST(UpdateFromBackoffice, DownloadsAndInstallsTheOfferedProgram) {
  QTemporaryDir dir;
  sim::BackofficeSim sim(dir.filePath(QStringLiteral("office.db")));
  sim.start();
  // Larger than one piece, so the download runs its loop.
  QByteArray update(10000, Qt::Uninitialized);
  for (int i = 0; i < update.size(); ++i) update[i] = char(i * 13 + 1);
  writeAll(sim.handlers().filesDir() + QStringLiteral("/vekta_64.exe"), update);
  const QString program = dir.filePath(QStringLiteral("bin/vekta"));
  writeAll(program, "old program");

  std::atomic<bool> installed{false};
  std::atomic<bool> onMain{false};
  TSoftwareUpdateContext ctx;
  ctx.programPath = program;
  ctx.synchronize = [&](TJClient& client) {
    client.setHost(QStringLiteral("127.0.0.1"));
    client.setPort(sim.port());
    client.setServerType(QStringLiteral("DR"));
    client.setLogin(QStringLiteral("demo"));
    client.setPassword(QStringLiteral("demo"));
  };
  ctx.installed = [&] {
    onMain = QThread::currentThread() == qApp->thread();
    installed = true;
  };
  QStringList log;
  std::mutex m;
  ctx.log = [&](const QString& text) {
    std::lock_guard lock(m);
    log << text;
  };
  {
    TSoftwareUpdateThread thread(std::move(ctx));
    thread.start();
    ASSERT_TRUE(waitFor([&] { return thread.finished(); }, 60000)) << log.join('\n').toStdString();
    EXPECT_EQ(thread.attempts(), 1);
  }
  EXPECT_TRUE(installed);
  EXPECT_TRUE(onMain);
  EXPECT_EQ(readAll(program), update);
  EXPECT_TRUE(QFileInfo(program).isExecutable());
  EXPECT_EQ(readAll(program + QStringLiteral(".tmp")), "old program");
  sim.stop();
}

// The restart, on a kiosk of its own: it waits while anything is open above
// the home screen, and closes the kiosk without the service password only
// once the new program started.
class Restart : public ::testing::Test {
 protected:
  Restart() {
    qputenv("VEKTA_DATA_DIR", data.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    qputenv("VEKTA_OSK_COMMAND", "true");
    main = std::make_unique<TfmMain>();
    main->show();
    main->tmConfig->stop();
  }
  ~Restart() override {
    main->check_password_on_exit = false;
    main->close();
    main.reset();
    qunsetenv("VEKTA_DATA_DIR");
  }
  QTemporaryDir data, runtime;
  testkit::StubKioskHooks hooks;
  std::unique_ptr<TfmMain> main;
};

void showModal(QDialog& d) {
  d.setWindowModality(Qt::ApplicationModal);
  d.show();
}

TEST_F(Restart, WaitsForTheHomeScreenThenClosesWithoutThePassword) {
  TfmExpectation home;
  showModal(home);
  home.tmReopenApplication->start();

  QDialog sale;
  showModal(sale);
  home.tmReopenApplicationTimer();
  EXPECT_TRUE(hooks.starts.empty());
  EXPECT_TRUE(home.tmReopenApplication->isActive());

  sale.close();
  ASSERT_EQ(QApplication::activeModalWidget(), &home);
  home.tmReopenApplicationTimer();
  ASSERT_EQ(hooks.starts.size(), 1u);
  // The new program may find its predecessor still holding the lock.
  EXPECT_EQ(hooks.starts[0].arguments, QStringList{QLatin1String(kAfterUpdateArgument)});
  EXPECT_FALSE(home.tmReopenApplication->isActive());
  EXPECT_FALSE(main->check_password_on_exit);
  EXPECT_FALSE(home.isVisible());
}

TEST_F(Restart, AProgramThatDoesNotStartLeavesTheKioskRunning) {
  hooks.startSucceeds = false;
  TfmExpectation home;
  showModal(home);
  home.tmReopenApplication->start();
  home.tmReopenApplicationTimer();
  EXPECT_EQ(hooks.starts.size(), 1u);
  EXPECT_FALSE(home.tmReopenApplication->isActive());
  EXPECT_TRUE(main->check_password_on_exit);
  EXPECT_TRUE(home.isVisible());
  main->check_password_on_exit = false;
  home.close();
}

}  // namespace
