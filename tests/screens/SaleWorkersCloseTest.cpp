// The close's wait for the workers of sales already paid (loyalty
// submissions, fiscal checks) against a back office that accepts the login
// and then stalls every request. When their grace is up, the close must break
// off what still runs, so that it ends within its budget and an update's new
// copy, which waits for it, takes over; each worker broken off reports its
// work undone, and none outlives the one-copy lock.
//
// The clock stands still, so a request in flight never ends by its own
// time-out: only the close's stop can end it. A close that is not back
// within the limit is released by lifting the stall, and the case fails.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backoffice/JClient.h"
#include "kiosk/ClientInterrupt.h"
#include "kiosk/CloseBudget.h"
#include "kiosk/EventSink.h"
#include "kiosk/Main.h"
#include "platform/Clock.h"
#include "platform/SingleInstance.h"
#include "screens/Gratitude.h"
#include "screens/LoyalityCardSubmitThread.h"
#include "screens/SaleScreenHooks.h"
#include "support/LockWatchingSink.h"
#include "support/SaleScreenTestKit.h"
#include "support/WaitUntil.h"
#include "testbed/SimHandlers.h"

namespace {

using namespace std::chrono_literals;

class StalledBackoffice {
 public:
  StalledBackoffice() {
    plat::setClock(&clock);
    sim.start();
    main.setHost(QStringLiteral("127.0.0.1"));
    main.setPort(sim.port());
    main.setLogin(QStringLiteral("demo"));
    main.setPassword(QStringLiteral("demo"));
    main.setServerType(QStringLiteral("DR"));
    main.setApplicationID(QStringLiteral("vekta"));
    main.setShowProgress(false);
    sim.setStalled(true);
  }
  ~StalledBackoffice() {
    sim.stop();
    plat::setClock(nullptr);
  }

  plat::ManualClock clock;
  QTemporaryDir dir;
  sim::BackofficeSim sim{dir.filePath(QStringLiteral("bo.sqlite")), true};
  TJClient main;
};

using testkit::LockWatchingSink;

const QString kCard = QStringLiteral("7770000000017");
const QString kCheckUndone =
    QStringLiteral("Не удалось сформировать кассвый чек (программа завершается).");
const QString kLoyaltyUndone = QStringLiteral(
    "Не получен ответ на операцию по карте лояльности 7770000000017 на сумму 60.00 руб., "
    "списано баллов: 0, баллов к начислению: 0 (программа завершается): запрос отправлен, "
    "операция могла быть проведена.");

void startLoyaltySubmission(const TJClient& main, std::shared_ptr<IEventSink> events,
                            std::function<void(const QString&)> log = {}) {
  TLoyalityCardInfo card;
  card.isActive = true;
  auto t = std::make_unique<TLoyalityCardSubmitThread>(
      main, 1, card, TProductPositionArray{{QStringLiteral("Вода"), 1, 60}});
  t->card_no = kCard;
  t->amount = 60;
  t->events = std::move(events);
  t->log = std::move(log);
  TLoyalityCardSubmitThread::start(std::move(t));
}

void startCheckInTheBackground(const TJClient& main, std::shared_ptr<IEventSink> events) {
  TCheckCreationSetup s;
  s.mainClient = &main;
  s.pmVmId = QStringLiteral("1");
  s.payment_amount = 60;
  s.goods = {{1, QStringLiteral("Вода"), 60, 1}};
  s.events = std::move(events);
  TCheckCreationThread::start(s);
}

// Texts in a stable order that reads well in a failure.
std::vector<std::string> sorted(const std::vector<QString>& texts) {
  std::vector<std::string> out;
  for (const QString& t : texts) out.push_back(t.toStdString());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> textsOf(const std::vector<std::pair<int, QString>>& events) {
  std::vector<QString> texts;
  for (const auto& [id, text] : events) {
    EXPECT_EQ(id, 1) << text.toStdString();
    texts.push_back(text);
  }
  return sorted(texts);
}

// Each worker broken off reports the paid sale's work undone: the back office
// would otherwise never learn that a check or a loyalty operation is missing.
TEST(SaleWorkersClose, WhatStillRunsAfterTheGraceIsBrokenOffAndReported) {
  const struct {
    const char* name;
    bool loyalty, check;
  } cases[] = {
      {"a loyalty submission", true, false},
      {"a fiscal check left to the background", false, true},
      {"both side by side", true, true},
  };
  registerSaleScreens();
  ASSERT_TRUE(TfmMain::waitForSaleWorkers);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StalledBackoffice office;
    auto sink = std::make_shared<testkit::RecordingSink>();
    if (c.loyalty) startLoyaltySubmission(office.main, sink);
    if (c.check) startCheckInTheBackground(office.main, sink);
    const size_t inFlight = size_t(c.loyalty) + size_t(c.check);
    ASSERT_TRUE(
        testkit::waitUntil([&] { return office.sim.stalledRequests().size() >= inFlight; }, 20s));

    TCloseBudget budget;
    budget.saleWorkersGraceMs = 0;  // the grace is over
    auto closed = std::async(std::launch::async, [&] { TfmMain::waitForSaleWorkers(budget); });
    EXPECT_EQ(closed.wait_for(20s), std::future_status::ready) << "the close waited for the server";
    office.sim.setStalled(false);
    closed.wait();
    EXPECT_TRUE(TLoyalityCardSubmitThread::waitForAll(0)) << "a submission still runs";
    EXPECT_TRUE(TCheckCreationThread::waitForAll(0)) << "a check still runs";
    std::vector<QString> expected;
    if (c.check) expected.push_back(kCheckUndone);
    if (c.loyalty) expected.push_back(kLoyaltyUndone);
    EXPECT_EQ(textsOf(sink->all()), sorted(expected));
    // Whatever a failed case left running ends now that the server answers.
    TLoyalityCardSubmitThread::waitForAll(60'000);
    TCheckCreationThread::stopAll(60'000);
  }
}

// A worker broken off that takes longer than the stop's bound to end (here
// its last log line hangs on a slow disk) still holds the close: the lock
// must not go while it runs.
TEST(SaleWorkersClose, AWorkerThatEndsLateStillHoldsTheClose) {
  registerSaleScreens();
  StalledBackoffice office;
  std::mutex m;
  std::condition_variable cv;
  bool logging = false, diskBack = false;
  startLoyaltySubmission(office.main, nullptr, [&](const QString&) {
    std::unique_lock lock(m);
    logging = true;
    cv.notify_all();
    cv.wait(lock, [&] { return diskBack; });
  });
  ASSERT_TRUE(testkit::waitUntil([&] { return !office.sim.stalledRequests().empty(); }, 20s));

  TCloseBudget budget;
  budget.saleWorkersGraceMs = 0;
  auto closed = std::async(std::launch::async, [&] { TfmMain::waitForSaleWorkers(budget); });
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 20s, [&] { return logging; })) << "the stop never came";
  }
  office.clock.advance(budget.saleWorkersStopMs + 1'000);
  EXPECT_EQ(closed.wait_for(300ms), std::future_status::timeout)
      << "the close went on while a worker still ran";
  {
    std::lock_guard lock(m);
    diskBack = true;
  }
  cv.notify_all();
  EXPECT_EQ(closed.wait_for(20s), std::future_status::ready);
  closed.wait();
  EXPECT_TRUE(TLoyalityCardSubmitThread::waitForAll(0));
}

// The whole close of the main form, with a thanks screen still open on its
// check and a loyalty submission in flight: the one-copy lock goes only after
// both workers have ended, both report their work undone while the lock is
// still held, and nothing comes after.
TEST(SaleWorkersClose, TheLockGoesOnlyAfterTheLastWorkerEnded) {
  registerSaleScreens();
  QTemporaryDir data, runtime;
  qputenv("VEKTA_DATA_DIR", data.path().toUtf8());
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  // No grace: the close breaks off at once what still runs.
  qputenv("VEKTA_CLOSE_GRACE_SCALE", "0.000001");
  ASSERT_EQ(closeBudget().saleWorkersGraceMs, 0);
  StalledBackoffice office;
  LockWatchingSink sink;
  {
    TfmMain form;
    ASSERT_FALSE(form.terminateRequested());
    form.show();
    form.tmConfig->stop();
    form.JClient->Assign(office.main);
    form.vm_id = 1;
    form.logThread = &sink;
    form.loyaltyCardInfo.isActive = true;

    auto screen = std::make_unique<TfmGratitude>();
    screen->create_checks = true;
    screen->mainClient = &office.main;
    screen->payment_amount = 60;
    TProduct water;
    water.nomenclature_id = 1;
    water.name = QStringLiteral("Вода");
    water.price = 60;
    screen->goods = {{water, 1}};
    screen->open();
    ASSERT_NE(screen->checkCreationThread(), nullptr);
    createLoyalityCardSubmitThread(kCard, 60, 0);
    ASSERT_TRUE(testkit::waitUntil([&] { return office.sim.stalledRequests().size() >= 2; }, 20s));

    form.check_password_on_exit = false;
    form.close();
    plat::SingleInstanceLock successor(QLatin1String(TfmMain::kInstanceName));
    EXPECT_TRUE(successor.tryLock()) << "the close kept the lock";
    EXPECT_TRUE(screen->checkCreationThread()->finished()) << "the check outlived the lock";
    EXPECT_TRUE(TLoyalityCardSubmitThread::waitForAll(0)) << "the submission outlived the lock";
    successor.unlock();

    // Whatever a failed case left running ends now that the server answers.
    office.sim.setStalled(false);
    screen.reset();
    TLoyalityCardSubmitThread::waitForAll(60'000);
    TCheckCreationThread::waitForAll(60'000);
  }
  qunsetenv("VEKTA_CLOSE_GRACE_SCALE");
  qunsetenv("VEKTA_DATA_DIR");
  std::vector<QString> texts;
  for (const auto& e : sink.all()) {
    EXPECT_TRUE(e.underLock) << "after the lock went: " << e.text.toStdString();
    if (e.id == 1) texts.push_back(e.text);
  }
  EXPECT_EQ(sorted(texts), sorted({kCheckUndone, kLoyaltyUndone}));
}

// The terminal's disconnection mark is one call that may reconnect, greet
// and log in before its request: each of those waits is capped, and the call
// as a whole is broken off when its step of the close's budget is up.
TEST(SaleWorkersClose, ADeadlineBreaksOffAWholeCall) {
  StalledBackoffice office;
  auto called = std::async(std::launch::async, [&] {
    TClientDeadline deadline(office.main, 3'000);
    office.main.getConst(1002, 30);
  });
  ASSERT_TRUE(testkit::waitUntil([&] { return !office.sim.stalledRequests().empty(); }, 20s));
  office.clock.advance(3'001);
  EXPECT_EQ(called.wait_for(20s), std::future_status::ready) << "the call outlived its deadline";
  office.sim.setStalled(false);
  EXPECT_ANY_THROW(called.get());
}

}  // namespace
