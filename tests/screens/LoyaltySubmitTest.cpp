// The loyalty submission thread against the stand-in back office: which
// requests it sends with and without points written off, and that a failure
// reaches the log and the back office.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>
#include <mutex>

#include "backoffice/JClient.h"
#include "platform/Clock.h"
#include "screens/LoyalityCardSubmitThread.h"
#include "screens/SaleWorkers.h"
#include "support/SaleScreenTestKit.h"
#include "support/WaitUntil.h"
#include "testbed/SimHandlers.h"

namespace {

struct Backoffice {
  QTemporaryDir dir;
  sim::BackofficeSim sim{dir.filePath("bo.sqlite"), true};
  TJClient main;

  Backoffice() {
    sim.start();
    main.setHost("127.0.0.1");
    main.setPort(sim.port());
    main.setLogin("demo");
    main.setPassword("demo");
    main.setServerType("DR");
    main.setApplicationID("vekta");
    main.setConnectTimeoutMs(2000);
  }
  std::vector<int> loyaltyRequests() {
    std::vector<int> out;
    for (const auto& r : sim.server().requests())
      if (r.code >= 1100 && r.code <= 1104) out.push_back(r.code);
    return out;
  }
  std::vector<ServerRequest> requestsOf(int code) {
    std::vector<ServerRequest> out;
    for (const auto& r : sim.server().requests())
      if (r.code == code) out.push_back(r);
    return out;
  }
};

TLoyalityCardInfo demoCard(TJClient& client) {
  TKernelAPI api(&client);
  return api.getLoyalityCardInfo(1, "7770000000017", 10);
}

// The clock of the program stands still while it lives.
struct StillClock {
  plat::ManualClock clock;
  StillClock() { plat::setClock(&clock); }
  ~StillClock() { plat::setClock(nullptr); }
};

struct Log {
  std::mutex m;
  QStringList lines;
  std::function<void(const QString&)> fn() {
    return [this](const QString& t) {
      std::lock_guard<std::mutex> l(m);
      lines << t;
    };
  }
};

TEST(LoyaltySubmit, OperationThenSubmissionWithoutPoints) {
  Backoffice bo;
  TJClient probe;
  probe.Assign(bo.main);
  TLoyalityCardInfo info = demoCard(probe);
  ASSERT_TRUE(info.isActive);
  Log log;
  auto t = std::make_unique<TLoyalityCardSubmitThread>(bo.main, 1, info,
                                                       TProductPositionArray{{"Чипсы", 2, 45.5}});
  t->card_no = "7770000000017";
  t->amount = 86.45;
  t->cashback = 0;
  t->log = log.fn();
  TLoyalityCardSubmitThread::start(std::move(t));
  ASSERT_TRUE(TLoyalityCardSubmitThread::waitForAll(20000));
  EXPECT_EQ(bo.loyaltyRequests(), (std::vector<int>{1101, 1102, 1103}));
  const auto ops = bo.requestsOf(1102);
  ASSERT_EQ(ops.size(), 1u);
  EXPECT_EQ(ops[0].params.at(1).toString(), "7770000000017");
  EXPECT_DOUBLE_EQ(ops[0].params.at(2).toDouble(), 86.45);
  EXPECT_TRUE(log.lines.isEmpty()) << log.lines.join("\n").toStdString();
  // Its own connection: the main client never connected.
  EXPECT_FALSE(bo.main.connected());
}

TEST(LoyaltySubmit, OnlySubmissionWhenPointsWereWrittenOff) {
  Backoffice bo;
  TJClient probe;
  probe.Assign(bo.main);
  TLoyalityCardInfo info = demoCard(probe);
  auto t = std::make_unique<TLoyalityCardSubmitThread>(bo.main, 1, info, TProductPositionArray{});
  t->card_no = info.user.barcode;
  t->amount = 50;
  t->cashback = 30;
  TLoyalityCardSubmitThread::start(std::move(t));
  ASSERT_TRUE(TLoyalityCardSubmitThread::waitForAll(20000));
  EXPECT_EQ(bo.loyaltyRequests(), (std::vector<int>{1101, 1103}));
}

// A submission that fails ends the purchase's loyalty operation for good:
// nothing sends it again. Whether the back office refused it, hung until the
// time-out or the close broke it off, the back office gets one event naming
// the card, the amount and the points, so that someone can carry it out by
// hand. A request whose answer was lost may have been carried out: its event
// says so, and it is not sent a second time.
TEST(LoyaltySubmit, AFailedSubmissionIsLoggedAndReported) {
  enum Fault { Refuses, HangsUntilTheTimeout, HangsUntilTheClose };
  const QString timedOut = QStringLiteral("Превышено время выполнения запроса.");
  const struct {
    const char* name;
    Fault fault;
    int code;  // the request that fails
    QString card;
    double cashback;  // points written off before the payment
    double willAdd;   // points the card read before the payment would earn
    std::vector<int> sent;
    QString event;
  } cases[] = {
      {"the operation refused",
       Refuses,
       1102,
       "7770000000017",
       0,
       0,
       {1102},
       "Не удалось передать операцию по карте лояльности 7770000000017 на сумму 86.45 руб., "
       "списано баллов: 0, баллов к начислению: 0 (Отказ сервера (1102))."},
      // The operation made tells the points that the purchase earns.
      {"the submission refused after the operation",
       Refuses,
       1103,
       "7770000000017",
       0,
       0,
       {1102, 1103},
       "Не удалось передать операцию по карте лояльности 7770000000017 на сумму 86.45 руб., "
       "списано баллов: 0, баллов к начислению: 2.59 (Отказ сервера (1103))."},
      {"points written off, the submission refused",
       Refuses,
       1103,
       "7770000000017",
       30,
       1.5,
       {1103},
       "Не удалось передать операцию по карте лояльности 7770000000017 на сумму 86.45 руб., "
       "списано баллов: 30, баллов к начислению: 1.50 (Отказ сервера (1103))."},
      {"the operation hangs until the time-out",
       HangsUntilTheTimeout,
       1102,
       "7770000000031",
       0,
       0,
       {1102},
       "Не получен ответ на операцию по карте лояльности 7770000000031 на сумму 86.45 руб., "
       "списано баллов: 0, баллов к начислению: 0 (" +
           timedOut + "): запрос отправлен, операция могла быть проведена."},
      {"the close breaks the hanging operation off",
       HangsUntilTheClose,
       1102,
       "7770000000031",
       0,
       0,
       {1102},
       "Не получен ответ на операцию по карте лояльности 7770000000031 на сумму 86.45 руб., "
       "списано баллов: 0, баллов к начислению: 0 (программа завершается): запрос отправлен, "
       "операция могла быть проведена."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The clock stands still: a hanging request ends only by the clock
    // moved past its time-out, or by the close.
    StillClock still;
    plat::ManualClock& clock = still.clock;
    {
      Backoffice bo;
      if (c.fault == Refuses) {
        bo.sim.server().setRequestHandler([&](const ServerRequest& r, ServerReply& reply) {
          if (r.code == c.code)
            reply.refuse(QStringLiteral("Отказ сервера (%1)").arg(r.code));
          else
            bo.sim.handlers().handle(r, reply);
        });
      }
      bo.sim.setStalled(c.fault != Refuses);
      TLoyalityCardInfo card;
      card.isActive = true;
      card.user.barcode = c.card;
      card.cashback.will_add = c.willAdd;
      Log log;
      auto sink = std::make_shared<testkit::RecordingSink>();
      auto t = std::make_unique<TLoyalityCardSubmitThread>(
          bo.main, 1, card, TProductPositionArray{{"Чипсы", 2, 45.5}});
      t->card_no = c.card;
      t->amount = 86.45;
      t->cashback = c.cashback;
      t->log = log.fn();
      t->events = sink;
      TLoyalityCardSubmitThread::start(std::move(t));
      if (c.fault != Refuses) {
        ASSERT_TRUE(testkit::waitUntil([&] { return !bo.sim.stalledRequests().empty(); },
                                       std::chrono::seconds(20)));
        if (c.fault == HangsUntilTheTimeout)
          clock.advance((TLoyalityCardSubmitThread::kTimeout + 1) * 1000);
        else
          TLoyalityCardSubmitThread::running().requestStopAll();
      }
      const bool ended = testkit::waitUntil([] { return TLoyalityCardSubmitThread::waitForAll(0); },
                                            std::chrono::seconds(20));
      bo.sim.setStalled(false);
      ASSERT_TRUE(ended) << "the submission never ended";
      EXPECT_EQ(bo.loyaltyRequests(), c.sent);
      const auto events = sink->all();
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(events[0].first, 1);
      EXPECT_EQ(events[0].second.toStdString(), c.event.toStdString());
      std::lock_guard<std::mutex> l(log.m);
      ASSERT_EQ(log.lines.size(), 1);
      EXPECT_TRUE(log.lines[0].startsWith("TLoyalityCardSubmitThread: "))
          << log.lines[0].toStdString();
      // The local log keeps the error itself, also when the close broke it off.
      if (c.fault != HangsUntilTheClose) {
        const QString reason =
            c.fault == Refuses ? QStringLiteral("Отказ сервера (%1)").arg(c.code) : timedOut;
        EXPECT_EQ(log.lines[0], "TLoyalityCardSubmitThread: " + reason);
      }
    }
  }
}

}  // namespace
