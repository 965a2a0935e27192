// The loyalty submission thread against the stand-in back office: which
// requests it sends with and without points written off, and that a refusal
// only reaches the log.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <mutex>

#include "backoffice/JClient.h"
#include "screens/LoyalityCardSubmitThread.h"
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

TEST(LoyaltySubmit, RefusalIsOnlyLogged) {
  Backoffice bo;
  bo.sim.server().setRequestHandler([](const ServerRequest& r, ServerReply& reply) {
    reply.refuse(QStringLiteral("Карта заблокирована (%1)").arg(r.code));
  });
  Log log;
  auto t = std::make_unique<TLoyalityCardSubmitThread>(bo.main, 1, TLoyalityCardInfo{},
                                                       TProductPositionArray{});
  t->card_no = "1";
  t->amount = 10;
  t->log = log.fn();
  TLoyalityCardSubmitThread::start(std::move(t));
  ASSERT_TRUE(TLoyalityCardSubmitThread::waitForAll(20000));
  ASSERT_EQ(log.lines.size(), 1);
  EXPECT_EQ(log.lines[0], "TLoyalityCardSubmitThread: Карта заблокирована (1102)");
}

}  // namespace
