// The push channel against the stand-in back office: registration with the
// machine id, pushed presence checks, audits and reload requests answered in
// the reply, unknown codes refused, and the channel set up again after a
// lost connection, after 90 s of silence, and every 5.25 s while the server
// cannot be reached.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <future>
#include <mutex>

#include "backoffice/JClient.h"
#include "backoffice/Request.h"
#include "kiosk/PushThread.h"
#include "platform/Clock.h"
#include "testbed/SimHandlers.h"
#include "tests/support/FastClock.h"

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 20'000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

void pumpFor(int ms) {
  QElapsedTimer t;
  t.start();
  waitFor([&] { return t.elapsed() >= ms; });
}

// The stand-in back office and the main form's side of the channel.
struct PushFixture {
  QTemporaryDir dir;
  sim::BackofficeSim sim{dir.filePath("bo.sqlite"), false};
  TJClient main;
  qint64 vm_id = 5;
  std::atomic<int> audits{0};
  std::atomic<int> refreshes{0};
  std::atomic<bool> offMainThread{false};
  std::atomic<int> passes{0};
  std::mutex m;
  QStringList logLines;
  std::unique_ptr<TTrevaloThread> thread;

  PushFixture() {
    sim.db().exec("insert into tbUser(login, password, name) values ('kiosk', 'pw', 'Kiosk')");
    sim.start();
    main.setHost("127.0.0.1");
    main.setPort(sim.port());
    main.setLogin("kiosk");
    main.setPassword("pw");
    main.setServerType("DR");
    main.setShowProgress(false);
  }
  void start() {
    TPushContext ctx;
    ctx.synchronize = [this](TJClient& c, qint64& id) {
      c.Assign(main);
      id = vm_id;
      ++passes;
    };
    auto onMain = [this] {
      if (QThread::currentThread() != QCoreApplication::instance()->thread()) offMainThread = true;
    };
    ctx.makeAudit = [this, onMain] {
      onMain();
      ++audits;
    };
    ctx.refreshConfig = [this, onMain] {
      onMain();
      ++refreshes;
    };
    ctx.log = [this](const QString& s) {
      std::lock_guard lock(m);
      logLines << s;
    };
    thread = std::make_unique<TTrevaloThread>(ctx);
    thread->start();
  }
  int registrations() {
    int n = 0;
    for (const ServerRequest& r : sim.server().requests())
      if (r.code == 1082) ++n;
    return n;
  }
  int logCount() {
    std::lock_guard lock(m);
    return int(logLines.size());
  }
  // The kiosk runs audits on the main thread before it replies, so the
  // push waits on another thread while this one pumps events.
  PushResult push(std::vector<uint16_t> codes) {
    std::vector<PushRequest> reqs;
    for (uint16_t c : codes) reqs.push_back({c, {}});
    auto reply = std::async(std::launch::async, [&] { return sim.pushToVm(5, reqs); });
    waitFor([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return reply.get();
  }
};

TEST(PushThread, RegistersWithTheMachineIdAndAnswersPushedBatches) {
  PushFixture f;
  f.start();
  ASSERT_TRUE(waitFor([&] { return !f.sim.server().pushConnections().empty(); }));
  bool registered = false;
  for (const ServerRequest& r : f.sim.server().requests())
    if (r.code == 1082) registered = r.params.size() == 1 && r.params[0].toInt() == 5;
  EXPECT_TRUE(registered);

  const struct Case {
    const char* name;
    std::vector<uint16_t> codes;
    uint16_t errorCode;
    uint16_t errorRequestNo;
    QString message;
    int audits;
    int refreshes;
  } cases[] = {
      {"presence check and reload", {1, 3}, 0, 0, {}, 0, 1},
      {"an unknown code stops the batch before the audit",
       {1, 7, 2},
       5,
       2,
       "Unknown request 7.",
       0,
       1},
      {"audit", {2}, 0, 0, {}, 1, 1},
      {"empty batch", {}, 0, 0, {}, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PushResult r = f.push(c.codes);
    ASSERT_TRUE(r.answered);
    EXPECT_EQ(r.errorCode, c.errorCode);
    EXPECT_EQ(r.errorRequestNo, c.errorRequestNo);
    EXPECT_EQ(r.errorMessage, c.message);
    if (c.errorCode == 0) {
      EXPECT_EQ(r.results.size(), c.codes.size());
    }
    EXPECT_EQ(f.audits.load(), c.audits);
    EXPECT_EQ(f.refreshes.load(), c.refreshes);
  }
  EXPECT_FALSE(f.offMainThread.load());
  EXPECT_EQ(f.registrations(), 1);  // the channel stayed up throughout
}

// Between passes the thread sleeps its whole pause in one wait: an idle
// kiosk is woken four times a second by the channel, not in slices of each
// pause. Each pause reads the clock once to set its end and once when woken.
TEST(PushThread, AnIdleChannelWakesOncePerPass) {
  testkit::CountingClock clock;
  testkit::ClockScope scope(&clock);
  PushFixture f;
  f.start();
  ASSERT_TRUE(waitFor([&] { return !f.sim.server().pushConnections().empty(); }));
  pumpFor(300);
  const int passes0 = f.passes, reads0 = clock.reads();
  pumpFor(1500);
  const int passes = f.passes - passes0, reads = clock.reads() - reads0;
  ASSERT_GE(passes, 3);
  EXPECT_LE(reads, passes * 4) << reads << " clock reads in " << passes << " passes";
}

TEST(PushThread, SetsTheChannelUpAgainAfterALostConnection) {
  PushFixture f;
  f.start();
  ASSERT_TRUE(waitFor([&] { return f.sim.server().pushConnections().size() == 1; }));
  const int first = f.sim.server().pushConnections().front();
  f.sim.server().dropConnections();
  ASSERT_TRUE(waitFor([&] {
    const auto open = f.sim.server().pushConnections();
    return open.size() == 1 && open.front() != first;
  }));
  EXPECT_TRUE(f.push({1}).answered);
}

// Time stands still unless the test moves it.
struct FrozenClock {
  plat::ManualClock clock;
  FrozenClock() { plat::setClock(&clock); }
  ~FrozenClock() { plat::setClock(nullptr); }
};

TEST(PushThread, SilenceOfMoreThanNinetySecondsRenewsTheChannel) {
  FrozenClock frozen;
  PushFixture f;
  f.start();
  ASSERT_TRUE(waitFor([&] { return f.registrations() == 1; }));
  // The channel's silence counts from when the thread has set it up, right
  // after the registration went out; then the thread waits on the clock.
  pumpFor(200);
  frozen.clock.advance(89'000);
  pumpFor(300);
  EXPECT_EQ(f.registrations(), 1);
  frozen.clock.advance(2'000);
  ASSERT_TRUE(waitFor([&] { return f.registrations() == 2; }));
  EXPECT_EQ(f.logCount(), 0);
  f.thread.reset();  // before the clock goes
}

TEST(PushThread, UnreachableServerLogsOncePerRetry) {
  FrozenClock frozen;
  PushFixture f;
  f.sim.stop();
  f.start();
  ASSERT_TRUE(waitFor([&] { return f.logCount() == 1; }));
  pumpFor(200);  // the thread starts its pause right after the line
  frozen.clock.advance(5'000);
  pumpFor(300);
  EXPECT_EQ(f.logCount(), 1);
  frozen.clock.advance(250);
  ASSERT_TRUE(waitFor([&] { return f.logCount() == 2; }));
  f.thread.reset();
}

}  // namespace
