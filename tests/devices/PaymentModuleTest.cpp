// The payment-module driver against the simulated module on a
// pseudo-terminal: status, sales, availability, the module's own requests,
// faults on the line, and the port search.

#include <gtest/gtest.h>

#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "devices/PaymentModule.h"
#include "testbed/PaymentModuleSim.h"

namespace {

using namespace std::chrono_literals;

QString messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message();
  }
  return QStringLiteral("<no exception>");
}

// The kiosk's event queue as the driver sees it.
struct Events {
  mutable std::mutex mu;
  QStringList texts;
  TPaymentModule::EventFn fn() {
    return [this](int id, const QString& text) {
      std::lock_guard lock(mu);
      texts << QStringLiteral("%1 %2").arg(id).arg(text);
    };
  }
  QStringList all() const {
    std::lock_guard lock(mu);
    return texts;
  }
};

class PaymentModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
    sim = std::make_unique<PaymentModuleSim>(dir.path(), 3, "SN-777");
    module.setComPort(3);
  }
  void TearDown() override {
    // Every packet the driver sent kept the packet rules.
    EXPECT_TRUE(sim->violations().isEmpty()) << sim->violations().join(u'\n').toStdString();
    qunsetenv("VEKTA_PORTS_DIR");
  }

  QTemporaryDir dir;
  std::unique_ptr<PaymentModuleSim> sim;
  Events events;
  TPaymentModule module{events.fn()};
};

TEST_F(PaymentModuleTest, StatusSalesAndAvailability) {
  sim->setStatus(7);
  EXPECT_EQ(module.getVmStatus(), 7);
  EXPECT_EQ(module.serialNumber(), "SN-777");
  sim->setStatus(-3);
  EXPECT_EQ(module.getVmStatus(), -3);

  module.addProduct(5);
  module.addProduct(300);
  EXPECT_EQ(sim->productsSold(), (QList<int64_t>{5, 300}));

  sim->setUnavailable({12});
  EXPECT_TRUE(module.testProduct(11));
  EXPECT_FALSE(module.testProduct(12));

  // Requests count 1, 2, ... and every one came as a request packet.
  const QList<SimPacket> reqs = sim->requests();
  ASSERT_EQ(reqs.size(), 6);
  for (int i = 0; i < reqs.size(); ++i) {
    EXPECT_EQ(reqs[i].packetType, SimPacket::Request);
    EXPECT_EQ(reqs[i].packetNum, i + 1);
  }
  EXPECT_EQ(reqs[2].code, 2);
  EXPECT_EQ(reqs[4].code, 3);
  EXPECT_TRUE(events.all().isEmpty());
}

TEST_F(PaymentModuleTest, PacketNumbersWrapAfter255) {
  module.outgoingPacketNum = 254;
  module.addProduct(1);
  module.addProduct(2);
  module.addProduct(3);
  const QList<SimPacket> reqs = sim->requests();
  ASSERT_EQ(reqs.size(), 3);
  EXPECT_EQ(reqs[0].packetNum, 255);
  EXPECT_EQ(reqs[1].packetNum, 0);
  EXPECT_EQ(reqs[2].packetNum, 1);
  EXPECT_EQ(sim->productsSold(), (QList<int64_t>{1, 2, 3}));
}

TEST_F(PaymentModuleTest, ModuleRequestsAreAnsweredAndReported) {
  module.open();
  const int a = sim->sendRequest(40);
  const int b = sim->sendRequest(41, {"x"});
  std::this_thread::sleep_for(50ms);
  module.checkIncomingRequest();
  ASSERT_TRUE(sim->waitForAnswers(2, 2000));
  const QList<SimPacket> answers = sim->answers();
  ASSERT_EQ(answers.size(), 2);
  EXPECT_EQ(answers[0].packetNum, a);
  EXPECT_EQ(answers[1].packetNum, b);
  for (const SimPacket& p : answers) {
    EXPECT_EQ(p.code, 0);
    EXPECT_EQ(p.paramCount(), 0);
  }
  EXPECT_EQ(events.all(), (QStringList{"1 checkIncomingRequest, packet.code = 40",
                                       "1 checkIncomingRequest, packet.code = 41"}));

  // Nothing pending: a quiet return; and every operation answers first.
  module.checkIncomingRequest();
  sim->sendRequest(42);
  std::this_thread::sleep_for(50ms);
  module.addProduct(9);
  EXPECT_TRUE(sim->waitForAnswers(3, 2000));
  EXPECT_EQ(sim->productsSold(), QList<int64_t>{9});
}

TEST_F(PaymentModuleTest, WhileWaitingForAnAnswerOtherPacketsAreDropped) {
  // A module request and a stale answer arrive ahead of the real answer.
  sim->prefixNextAnswer(sim->makeRequest(50) + PaymentModuleSim::makeAnswer(99, 0, {"1"}));
  sim->setStatus(4);
  EXPECT_EQ(module.getVmStatus(), 4);

  // The dropped request stays unanswered; a later one is answered.
  sim->sendRequest(51);
  std::this_thread::sleep_for(50ms);
  module.checkIncomingRequest();
  ASSERT_TRUE(sim->waitForAnswers(1, 2000));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sim->answers().size(), 1);
  EXPECT_EQ(events.all(), QStringList{"1 checkIncomingRequest, packet.code = 51"});
}

TEST_F(PaymentModuleTest, ALateAnswerIsReportedAndAnsweredLikeARequest) {
  // The module answers a status request only after the kiosk gave up on it.
  sim->dropNextRequests(1);
  EXPECT_THROW(module.getVmStatus(), ETimeout);
  const int late = sim->sendAnswer(int(module.outgoingPacketNum), 1);
  std::this_thread::sleep_for(50ms);
  module.checkIncomingRequest();
  ASSERT_TRUE(sim->waitForAnswers(1, 2000));
  const QList<SimPacket> answers = sim->answers();
  ASSERT_EQ(answers.size(), 1);
  EXPECT_EQ(answers[0].packetNum, late);
  EXPECT_EQ(answers[0].code, 0);
  EXPECT_EQ(events.all(), QStringList{"1 checkIncomingRequest, packet.code = 1"});
}

TEST_F(PaymentModuleTest, FaultsOnTheLineFailTheCallAndTheNextCallWorks) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    QString messageStart;  // empty: the call succeeds
  };
  const Case cases[] = {
      {"silent", [&] { sim->dropNextRequests(1); }, QStringLiteral("Timeout during operation.")},
      {"header checksum", [&] { sim->corruptNextHeader(); },
       QStringLiteral("Incorrect checksum. header=")},
      {"parameter checksum", [&] { sim->corruptNextParam(); },
       QStringLiteral("Incorrect checksum. Param=")},
      {"garbage ahead", [&] { sim->prefixNextAnswer("zz"); },
       QStringLiteral("Unknown packet type \"z.")},
      {"split answer", [&] { sim->splitNextAnswer(150); }, QString()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    const QString msg = messageOf([&] { module.getVmStatus(); });
    if (c.messageStart.isEmpty())
      EXPECT_EQ(msg, "<no exception>");
    else
      EXPECT_TRUE(msg.startsWith(c.messageStart)) << msg.toStdString();
    EXPECT_TRUE(module.isOpen());
    // The rest of a spoiled answer must not spoil the next exchange.
    sim->setStatus(2);
    EXPECT_EQ(module.getVmStatus(), 2);
    sim->setStatus(0);
  }
}

TEST_F(PaymentModuleTest, TestProductNeedsExactlyOneZeroByte) {
  // Answers the simulator cannot give, built by hand on a bare port.
  QTemporaryDir bare;
  qputenv("VEKTA_PORTS_DIR", bare.path().toLocal8Bit());
  SimPort port(bare.path(), 5);
  TPaymentModule m;
  m.setComPort(5);
  struct Case {
    const char* name;
    QList<QByteArray> params;
    bool expected;
  };
  const Case cases[] = {
      {"00", {QByteArray(1, '\0')}, true},
      {"01", {QByteArray(1, '\1')}, false},
      {"00 00", {QByteArray(2, '\0')}, false},
      {"none", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::jthread answerer([&] {
      QByteArray got;
      for (int i = 0; i < 100 && !got.endsWith('\0'); ++i) got += port.read(20);
      SimPacket a;
      a.packetType = SimPacket::Answer;
      a.packetNum = uint8_t(got.size() > 1 ? got[1] : 0);
      for (const QByteArray& v : c.params) {
        a.params.append(v);
        a.paramTypes.append(1);
      }
      port.write(a.encode());
    });
    EXPECT_EQ(m.testProduct(8), c.expected);
  }
}

TEST_F(PaymentModuleTest, NoPortNumber) {
  TPaymentModule m;
  EXPECT_EQ(messageOf([&] { m.getVmStatus(); }), "Не указан номер COM-порта.");
  m.setComPort(0);
  EXPECT_EQ(messageOf([&] { m.addProduct(1); }), "Не указан номер COM-порта.");
}

TEST_F(PaymentModuleTest, AModuleThatKeepsTalkingCannotHoldTheCaller) {
  sim->setSilent(true);
  module.exchangeLimitMs = 600;
  std::atomic<bool> done{false};
  std::jthread chatter([&] {
    while (!done) {
      sim->sendRequest(60);
      std::this_thread::sleep_for(100ms);
    }
  });
  EXPECT_EQ(messageOf([&] { module.addProduct(1); }), "Timeout during operation.");
  done = true;
}

TEST(PaymentModuleSearch, FindsTheModuleBehindASilentPort) {
  QTemporaryDir dir;
  qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
  SimPort silent(dir.path(), 1);
  PaymentModuleSim sim(dir.path(), 2, "SN-2");
  Events events;
  TPaymentModule m(events.fn());
  EXPECT_TRUE(m.findComPort());
  EXPECT_EQ(m.comPort(), 2);
  EXPECT_TRUE(m.isOpen());
  EXPECT_EQ(m.serialNumber(), "SN-2");
  EXPECT_EQ(events.all(), QStringList{"1 findComPort. Port: 1. Error: Timeout during operation."});
  qunsetenv("VEKTA_PORTS_DIR");
}

TEST(PaymentModuleSearch, NoModuleLeavesNoPortAndAStopEndsTheSearch) {
  QTemporaryDir dir;
  qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
  SimPort silent(dir.path(), 1);
  PaymentModuleSim sim(dir.path(), 2);
  sim.setSilent(true);
  Events events;
  TPaymentModule m(events.fn());
  EXPECT_FALSE(m.findComPort());
  EXPECT_EQ(m.comPort(), -1);
  EXPECT_FALSE(m.isOpen());
  EXPECT_EQ(events.all().size(), 2);

  sim.setSilent(false);
  std::atomic<bool> stop{true};
  EXPECT_FALSE(m.findComPort(&stop));
  EXPECT_EQ(m.comPort(), -1);
  qunsetenv("VEKTA_PORTS_DIR");
}

}  // namespace
