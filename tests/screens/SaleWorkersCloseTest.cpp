// The close's wait for the workers of sales already paid (loyalty
// submissions, fiscal checks left to the background) against a back office
// that accepts the login and then stalls every request. When their grace is
// up, the close must break off what still runs, so that it ends within its
// budget and an update's new copy, which waits for it, takes over.
//
// The clock stands still, so a request in flight never ends by its own
// time-out: only the close's stop can end it. A close that is not back
// within the limit is released by lifting the stall, and the case fails.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <future>
#include <memory>

#include "backoffice/JClient.h"
#include "kiosk/ClientInterrupt.h"
#include "kiosk/CloseBudget.h"
#include "kiosk/Main.h"
#include "platform/Clock.h"
#include "screens/Gratitude.h"
#include "screens/LoyalityCardSubmitThread.h"
#include "screens/SaleScreenHooks.h"
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

void startLoyaltySubmission(const TJClient& main) {
  TLoyalityCardInfo card;
  card.isActive = true;
  auto* t = new TLoyalityCardSubmitThread(main, 1, card, {{QStringLiteral("Вода"), 1, 60}});
  t->card_no = QStringLiteral("7770000000017");
  t->amount = 60;
  t->start();
}

void startCheckInTheBackground(const TJClient& main) {
  TCheckCreationSetup s;
  s.mainClient = &main;
  s.pmVmId = QStringLiteral("1");
  s.payment_amount = 60;
  s.goods = {{1, QStringLiteral("Вода"), 60, 1}};
  TCheckCreationThread::continueInBackground(std::make_shared<TCheckCreationThread>(s));
}

TEST(SaleWorkersClose, WhatStillRunsAfterTheGraceIsBrokenOff) {
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
    if (c.loyalty) startLoyaltySubmission(office.main);
    if (c.check) startCheckInTheBackground(office.main);
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
    // Whatever a failed case left running ends now that the server answers.
    TLoyalityCardSubmitThread::waitForAll(60'000);
    TCheckCreationThread::stopAll(60'000);
  }
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
