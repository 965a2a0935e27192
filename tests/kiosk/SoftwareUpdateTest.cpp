// The program update: the file swap on a temporary folder, the download from
// the stand-in back office, and the pause after a failed attempt.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <mutex>
#include <vector>

#include "backoffice/JClient.h"
#include "kiosk/Expectation.h"
#include "kiosk/Main.h"
#include "kiosk/ProgramCheck.h"
#include "kiosk/SoftwareUpdate.h"
#include "kiosk/UpdateWatch.h"
#include "platform/AppPaths.h"
#include "platform/Clock.h"
#include "platform/Common.h"
#include "platform/Exception.h"
#include "testbed/SimHandlers.h"
#include "tests/support/ChildProcess.h"
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

// A stand-in program: a script that the system starts like any program.
QByteArray standIn(const char* body) {
  return QByteArray("#!/bin/sh\n") + body;
}

// Answers the version question as a program of this system does.
const QByteArray kGoodProgram = standIn("[ \"$1\" = --version ] && echo vekta 9.9\n");

QByteArray sha256(const QByteArray& bytes) {
  return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
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
      EXPECT_TRUE(programOnTrial(program));
      EXPECT_TRUE(QFileInfo(program).isExecutable());
      EXPECT_EQ(readAll(backup), "old program");
      EXPECT_FALSE(QFileInfo::exists(fresh));
      EXPECT_TRUE(error.isEmpty());
    } else {
      EXPECT_EQ(readAll(program), "old program");
      EXPECT_FALSE(error.isEmpty());
      // Back where it was, the old program is not on trial.
      EXPECT_FALSE(programOnTrial(program));
    }
    QFile::remove(fresh);
    QFile::remove(backup);
    QFile::remove(updateTrialPath(program));
  }
}

// Until the program in place has shown its home screen, the backup is the
// last program known to run, and no update may take its place.
TEST_F(SwapTest, TheGoodCopySurvivesASecondUpdate) {
  writeAll(fresh, "first update");
  ASSERT_TRUE(installProgramUpdate(program));
  writeAll(fresh, "second update");
  QString error;
  ASSERT_TRUE(installProgramUpdate(program, &error)) << error.toStdString();
  EXPECT_EQ(readAll(program), "second update");
  EXPECT_EQ(readAll(backup), "old program");
  EXPECT_FALSE(QFileInfo::exists(fresh));
  EXPECT_TRUE(programOnTrial(program));

  // Once it has shown that it runs, it is the good copy of the next swap.
  EXPECT_FALSE(confirmProgramRuns(program));
  EXPECT_FALSE(programOnTrial(program));
  writeAll(fresh, "third update");
  ASSERT_TRUE(installProgramUpdate(program));
  EXPECT_EQ(readAll(program), "third update");
  EXPECT_EQ(readAll(backup), "second update");
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
  writeAll(program, QByteArray("\x7f"
                               "ELF old",
                               8));
  writeAll(fresh, "MZ a Windows program");
  QString error;
  EXPECT_FALSE(installProgramUpdate(program, &error));
  EXPECT_TRUE(error.contains(QStringLiteral("не является программой")));
  EXPECT_EQ(readAll(program), QByteArray("\x7f"
                                         "ELF old",
                                         8));

  writeAll(fresh, QByteArray("\x7f"
                             "ELF new",
                             8));
  EXPECT_TRUE(installProgramUpdate(program, &error));
  EXPECT_EQ(readAll(program), QByteArray("\x7f"
                                         "ELF new",
                                         8));
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
    ctx.report = [this](const QString& text) {
      std::lock_guard lock(mutex);
      events << text;
    };
    thread = std::make_unique<TSoftwareUpdateThread>(std::move(ctx));
    thread->start();
  }
  qsizetype logCount() {
    std::lock_guard lock(mutex);
    return logLines.size();
  }
  QStringList reported() {
    std::lock_guard lock(mutex);
    return events;
  }

  plat::ManualClock clock;
  std::unique_ptr<TSoftwareUpdateThread> thread;
  std::atomic<bool> installed{false};
  std::mutex mutex;
  QStringList logLines;
  QStringList events;  // event 1 for the back office
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
    writeAll(target, kGoodProgram);
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
  EXPECT_EQ(readAll(program), kGoodProgram);
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

// A clock that counts how often it is read.
class CountingClock : public plat::ManualClock {
 public:
  int64_t nowMs() const override {
    ++reads;
    return ManualClock::nowMs();
  }
  mutable std::atomic<int> reads{0};
};

TEST_F(UpdateWorker, AWorkerWithNothingOnOfferSleepsUntilTheEnd) {
  CountingClock counting;
  plat::setClock(&counting);
  startWorker([](const QString&) { return false; });
  ASSERT_TRUE(waitFor([&] { return thread->attempts() == 1; }));
  QThread::msleep(50);  // into its wait
  const int before = counting.reads;
  QThread::msleep(200);
  // Nothing wakes it: not the clock, which could never reach its deadline.
  EXPECT_EQ(counting.reads - before, 0);
  QElapsedTimer closing;
  closing.start();
  thread.reset();
  EXPECT_LT(closing.elapsed(), 5000);
}

TEST_F(UpdateWorker, AFailedSwapEndsTheWorkerWithoutARestart) {
  // A backup that cannot be removed stops the swap before anything moves.
  QDir().mkpath(backup + QStringLiteral("/busy"));
  startWorker([&](const QString& target) {
    writeAll(target, kGoodProgram);
    return true;
  });
  ASSERT_TRUE(waitFor([&] { return thread->finished(); }));
  EXPECT_FALSE(installed);
  EXPECT_EQ(thread->attempts(), 1);
  EXPECT_EQ(readAll(program), "old program");
  EXPECT_FALSE(QFileInfo::exists(fresh));
}

QByteArray kioskProgram() {
  return readAll(QStringLiteral(VEKTA_KIOSK_PROGRAM));
}

// A file that came whole but cannot run here never takes the program's
// place: the back office hears once which file and why, and the worker asks
// again after its pause.
TEST_F(UpdateWorker, AProgramThatDoesNotRunIsRefusedOnceAndAskedForAgainLater) {
  const QByteArray kiosk = kioskProgram();
  ASSERT_GT(kiosk.size(), 4096);
  struct Case {
    const char* name;
    QByteArray file;
    const char* reason;
    bool hangs;
  } cases[] = {
      // The system refuses it, or it ends as it loads (a sanitizer's runtime
      // may turn the crash into an exit code).
      {"the kiosk program cut short", kiosk.left(4096), "не запускается|завершилась", false},
      {"ends at once with an error",
       standIn("echo 'error while loading shared libraries: libQt6Core.so.6' >&2; exit 127\n"),
       "завершилась с кодом 127: error while loading shared libraries", false},
      {"crashes", standIn("kill -SEGV $$\n"), "завершилась аварийно", false},
      {"answers something else", standIn("echo hello\n"), "не ответила своей версией: hello",
       false},
      {"never answers", standIn("touch \"$0.started\"; exec sleep 600\n"), "не ответила за 20 с",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(mutex);
      events.clear();
    }
    std::atomic<int> downloads{0};
    startWorker([&](const QString& target) {
      // The same file twice, then one that runs.
      writeAll(target, ++downloads <= 2 ? c.file : kGoodProgram);
      return true;
    });
    if (c.hangs) {
      ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(fresh + QStringLiteral(".started")); }));
      clock.advance(kProgramCheckMs);
    }
    ASSERT_TRUE(waitFor([&] { return thread->failures() == 1; }));
    EXPECT_EQ(readAll(program), "old program");
    EXPECT_FALSE(QFileInfo::exists(fresh));
    EXPECT_FALSE(QFileInfo::exists(backup));
    QStringList told = reported();
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0].contains(QStringLiteral("vekta_64.exe"))) << told[0].toStdString();
    EXPECT_TRUE(told[0].contains(QString::fromLatin1(sha256(c.file)))) << told[0].toStdString();
    const QStringList reasons = QString::fromUtf8(c.reason).split(u'|');
    EXPECT_TRUE(std::any_of(reasons.begin(), reasons.end(), [&](const QString& r) {
      return told[0].contains(r);
    })) << told[0].toStdString();

    // As after a failed download: nothing before the pause is over.
    clock.advance(TSoftwareUpdateThread::kRetryPauseMs - 1);
    QThread::msleep(50);
    EXPECT_EQ(thread->attempts(), 1);
    clock.advance(1);
    ASSERT_TRUE(waitFor([&] { return thread->failures() == 2; }));
    EXPECT_EQ(reported().size(), 1);  // the same file is not told about again

    clock.advance(TSoftwareUpdateThread::kRetryPauseMs);
    ASSERT_TRUE(waitFor([&] { return thread->finished(); }));
    EXPECT_TRUE(installed);
    EXPECT_EQ(readAll(program), kGoodProgram);
    EXPECT_EQ(reported().size(), 1);

    thread.reset();
    installed = false;
    writeAll(program, "old program");
    for (const QString& f : {backup, updateTrialPath(program), fresh + QStringLiteral(".started")})
      QFile::remove(f);
  }
}

// The real kiosk program answers the check before it opens any window.
TEST(ProgramCheck, TheKioskProgramAnswersWithItsVersion) {
  const TProgramCheck check = checkProgramRuns(QStringLiteral(VEKTA_KIOSK_PROGRAM), {});
  EXPECT_TRUE(check.runs) << check.reason.toStdString();
  EXPECT_EQ(check.version, GetAppVersion());
}

// The watcher, in this process, over stand-in programs: the old one records
// how it was started; the new one passed the check and then behaves as
// each case says once it is started after the update.
class Trial : public ProgramFolder {
 protected:
  void TearDown() override { plat::setClock(nullptr); }
  const QByteArray oldProgram = standIn("echo \"old $*\" >> \"$0.log\"\n");
  QString started() const { return program + QStringLiteral(".log"); }
};

TEST_F(Trial, ANewProgramThatNeverShowsItsHomeScreenIsPutBack) {
  struct Case {
    const char* name;
    const char* afterUpdate;  // what the new program does once started
    bool showsHome;
    const char* reason;
  } cases[] = {
      {"shows its home screen", "rm -f \"$0.trial\"", true, ""},
      {"ends at once", "exit 3", false, "завершилась, не показав главную страницу"},
      {"crashes", "kill -SEGV $$", false, "завершилась, не показав главную страницу"},
      {"hangs", "exec sleep 600", false, "не показала главную страницу за 120 с"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plat::ManualClock manual;
    // Only a program that hangs waits out the trial; the others are seen as
    // they end, in real time.
    plat::setClock(QByteArray(c.name) == "hangs" ? &manual : nullptr);
    writeAll(program, oldProgram);
    ASSERT_TRUE(QFile::setPermissions(
        program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    const QByteArray newProgram =
        standIn((QByteArray("case \"$1\" in --version) echo vekta 9.9;; --after-update) ") +
                 c.afterUpdate + ";; esac\n")
                    .constData());
    writeAll(fresh, newProgram);
    ASSERT_TRUE(makeExecutableLike(program, fresh));
    const TProgramCheck check = checkProgramRuns(fresh, {});
    ASSERT_TRUE(check.runs) << check.reason.toStdString();
    ASSERT_TRUE(installProgramUpdate(program));

    TUpdateWatch watch;
    watch.program = program;
    EXPECT_EQ(watchUpdatedProgram(watch), c.showsHome);
    EXPECT_FALSE(programOnTrial(program));
    if (c.showsHome) {
      EXPECT_EQ(readAll(program), newProgram);
      EXPECT_EQ(readAll(backup), oldProgram);
      EXPECT_FALSE(confirmProgramRuns(program));
    } else {
      EXPECT_EQ(readAll(program), oldProgram);
      EXPECT_FALSE(QFileInfo::exists(backup));
      // The old program is started as after an update.
      ASSERT_TRUE(waitFor([&] { return !readAll(started()).isEmpty(); }));
      EXPECT_EQ(readAll(started()), "old --after-update\n");
      // Its home screen tells the back office once, and knows the file.
      const auto putBack = confirmProgramRuns(program);
      ASSERT_TRUE(putBack);
      EXPECT_EQ(putBack->digest, sha256(newProgram));
      EXPECT_TRUE(putBack->report.contains(QString::fromUtf8(c.reason)))
          << putBack->report.toStdString();
      EXPECT_TRUE(putBack->report.contains(QStringLiteral("Возвращена прежняя программа")));
      const auto again = confirmProgramRuns(program);
      ASSERT_TRUE(again);
      EXPECT_EQ(again->digest, putBack->digest);
      EXPECT_TRUE(again->report.isEmpty());
    }
    plat::setClock(nullptr);
    for (const QString& f : {fresh, backup, started(), updateRefusedPath(program)})
      QFile::remove(f);
  }
}

// A program put back is reported by the worker of the old program's home
// screen, and the same file offered again is refused without a new report.
TEST_F(UpdateWorker, AProgramPutBackIsReportedOnceAndNeverTakenAgain) {
  const QByteArray refusedProgram = kGoodProgram + "# never shows its home screen\n";
  const QString report = QStringLiteral("Обновление программы отменено.");
  writeAll(updateRefusedPath(program), sha256(refusedProgram) + '\n' + report.toUtf8() + '\n');
  startWorker([&](const QString& target) {
    writeAll(target, refusedProgram);
    return true;
  });
  ASSERT_TRUE(waitFor([&] { return thread->failures() == 1; }));
  EXPECT_EQ(reported(), QStringList{report});
  EXPECT_EQ(readAll(program), "old program");
  EXPECT_FALSE(QFileInfo::exists(fresh));
  thread.reset();

  // Not even after the kiosk starts again.
  startWorker([&](const QString& target) {
    writeAll(target, refusedProgram);
    return true;
  });
  ASSERT_TRUE(waitFor([&] { return thread->failures() == 1; }));
  EXPECT_EQ(reported(), QStringList{report});
  EXPECT_EQ(readAll(program), "old program");
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
  testkit::ChildProcess old;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("VEKTA_PROBE_REPORT"), report);
  ASSERT_TRUE(old.start(program, {}, testkit::ChildProcess::Output::Inherit, env));
  ASSERT_TRUE(old.waitFinished(30000));
  // The restarted copy runs detached; it writes its report and ends.
  ASSERT_TRUE(waitFor([&] { return !readAll(report).isEmpty(); }, 30000));

  EXPECT_EQ(QString::fromUtf8(readAll(report)).toStdString(), program.toStdString());
  EXPECT_EQ(readAll(program), successor);
  EXPECT_EQ(readAll(program + QStringLiteral(".tmp")), probe);
}

// The same restart when the new program ends at once: its watcher, the old
// program, puts itself back in place and starts again, and its home screen
// has the rollback to report.
TEST(UpdateRestart, ANewProgramThatEndsAtOnceIsPutBackByTheOldOne) {
  QTemporaryDir dir;
  const QString program = QDir(dir.path()).canonicalPath() + QStringLiteral("/vekta");
  const QByteArray probe = readAll(QStringLiteral(VEKTA_UPDATE_PROBE));
  ASSERT_FALSE(probe.isEmpty());
  writeAll(program, probe);
  // It answers the check, then ends at once (UpdateRestartProbe.cpp).
  writeAll(program + QStringLiteral(".new"), probe + "\nends at once");
  ASSERT_TRUE(QFile::setPermissions(
      program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

  const QString report = dir.filePath(QStringLiteral("report"));
  testkit::ChildProcess old;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("VEKTA_PROBE_REPORT"), report);
  ASSERT_TRUE(old.start(program, {}, testkit::ChildProcess::Output::Inherit, env));
  ASSERT_TRUE(old.waitFinished(30000));
  ASSERT_TRUE(waitFor([&] { return !readAll(report).isEmpty(); }, 30000));

  const QStringList lines = QString::fromUtf8(readAll(report)).split(u'\n');
  ASSERT_EQ(lines.size(), 2) << lines.join(u'|').toStdString();
  EXPECT_EQ(lines[0].toStdString(), program.toStdString());
  EXPECT_TRUE(lines[1].contains(QStringLiteral("завершилась, не показав главную страницу")))
      << lines[1].toStdString();
  EXPECT_EQ(readAll(program), probe);
  EXPECT_FALSE(programOnTrial(program));
}

// The whole path against the stand-in back office: the update comes from its
// files folder through request 78 and lands as the program.
TEST(UpdateFromBackoffice, DownloadsAndInstallsTheOfferedProgram) {
  QTemporaryDir dir;
  sim::BackofficeSim sim(dir.filePath(QStringLiteral("office.db")));
  sim.start();
  // A program that answers, larger than one piece, so the download runs its loop.
  const QByteArray update = kGoodProgram + "#" + QByteArray(10000, 'x') + '\n';
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
  ctx.report = [&](const QString& text) {
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
  // The old program, moved aside, watches the new one that it starts (with
  // the after-update argument: its predecessor may still hold the lock).
  const QString program = plat::programFilePath();
  EXPECT_EQ(hooks.starts[0].program, program + QStringLiteral(".tmp"));
  EXPECT_EQ(hooks.starts[0].arguments,
            (QStringList{QLatin1String(kWatchUpdateArgument), program,
                         QString::number(QCoreApplication::applicationPid())}));
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
