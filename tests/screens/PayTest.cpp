// The card payment: its decisions, the abort attempt, and whole payments
// against the simulated Vendotek terminal and the bridge with the stand-in
// bank library, through the plain state machine and through the screen.

#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <memory>
#include <thread>

#include "../bridge/StubSberFolder.h"
#include "devices/SberDevice.h"
#include "devices/Vendotek.h"
#include "kiosk/LogThread.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "screens/Pay.h"
#include "testbed/VendotekSim.h"

namespace {

using namespace std::chrono_literals;

const QString kFailed = QString::fromUtf8(kPaymentFailed);

TEST(CardPaymentFailureText, CutAtTheFirstDotAndSecondLine) {
  const struct {
    QString message;
    QString shown;
    bool secondLine;
  } cases[] = {
      {kFailed, kFailed, false},         {kFailed + ".", kFailed, false},
      {"Ошибка 05.", "Ошибка 05", true}, {"Операция прервана.", "Операция прервана", true},
      {"Нет связи", "Нет связи", true},  {".", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.toStdString());
    const QString cut = TCardPayment::cutAtFirstDot(c.message);
    EXPECT_EQ(cut, c.shown);
    EXPECT_EQ(TCardPayment::showsSecondLine(cut), c.secondLine);
  }
  // No message at all: the result code stands in.
  EXPECT_EQ(TCardPayment(TCardPaymentSetup{}).failureText(), "Ошибка 65535");
}

// ---- the abort attempt -------------------------------------------------------

struct FakePad : IPinPadAbort {
  int failFirst = 1000;  // attempts that raise before it answers
  bool hang = false;     // every attempt waits out the time it is given
  int calls = 0;
  int abort_operation(int timeoutMs) override {
    ++calls;
    if (hang) plat::clock().sleepMs(timeoutMs);
    if (calls <= failFirst) throw Exception("Timeout during operation.");
    return 0;
  }
};

class ManualClockScope {
 public:
  ManualClockScope() { plat::setClock(&clock); }
  ~ManualClockScope() { plat::setClock(nullptr); }
  plat::ManualClock clock;
};

TEST(AbortThread, TriesThePadForABoundedTime) {
  const struct {
    const char* name;
    int failFirst;
    bool hang;
    int attempts;
    int answer;
  } cases[] = {
      {"answers at once", 0, false, 1, 0},
      {"answers on the third try", 2, false, 3, 0},
      {"never answers", 1000, false, TAbortThread::kAttempts, -1},
      // One wait of the whole limit uses the time of every other try.
      {"hangs", 1000, true, 1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClockScope clock;
    QTemporaryDir dir;
    TSberDevice sber(dir.path());
    FakePad pad;
    pad.failFirst = c.failFirst;
    pad.hang = c.hang;
    QStringList log;
    TCardPaymentSetup setup;
    setup.pos_type = ptSber;
    setup.sberPinPad = &sber;
    setup.pinPad = &pad;
    setup.log = [&](const QString& t) { log << t; };
    {
      TAbortThread abort(setup);
      while (!abort.finished()) std::this_thread::sleep_for(1ms);
      EXPECT_EQ(abort.attempts(), c.attempts);
      EXPECT_EQ(abort.padAnswer(), c.answer);
    }
    EXPECT_EQ(pad.calls, c.attempts);
    // The bridge's marker comes first, whatever the pad does.
    EXPECT_TRUE(QFile::exists(sber.abort_operation_file));
    EXPECT_EQ(log.value(0), "TAbortThread.execute a");
  }
}

// ---- payments against the terminals ----------------------------------------

TProduct product(int cell, int nomenclature, double price) {
  TProduct p;
  p.isSnack = true;
  p.cell = cell;
  p.nomenclature_id = nomenclature;
  p.price = price;
  p.name = QStringLiteral("Товар %1").arg(cell);
  return p;
}

class CardPaymentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
    TLogThreadContext ctx;
    ctx.dataFolder = dir.path();
    events = std::make_unique<TLogThread>(ctx);
  }
  void TearDown() override { qunsetenv("VEKTA_PORTS_DIR"); }

  void startVendotek() {
    sim = std::make_unique<VendotekSim>(dir.path(), 4);
    vendotek = std::make_unique<TVendotek>();
    vendotek->setComPort(4);
  }

  // A cart of 2 × 55.00 and 1 × 35.50 with 5 % off.
  TCardPaymentSetup setup(TPOSType type) {
    TCardPaymentSetup s;
    s.pos_type = type;
    s.vendotek = vendotek.get();
    s.sberPinPad = sber.get();
    s.events = events.get();
    s.log = [](const QString&) {};
    s.lines = {{product(3, 11, 55.00), 2}, {product(4, 12, 35.50), 1}};
    s.payment_amount = 138.23;
    s.discountCoeff = 138.23 / 145.50;
    return s;
  }

  std::vector<TLogRecord> eventsOf(int id) const {
    std::vector<TLogRecord> out;
    for (const auto& r : events->queued())
      if (r.event_id == id) out.push_back(r);
    return out;
  }

  void expectSold(double coeff) const {
    const auto sold = eventsOf(evUnitSold);
    ASSERT_EQ(sold.size(), 3u);
    const int cells[] = {3, 3, 4};
    const double prices[] = {55.00, 55.00, 35.50};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(sold[i].creditSource_id.toInt(), csCard);
      EXPECT_DOUBLE_EQ(sold[i].amount.toDouble(), prices[i] * coeff);
      EXPECT_EQ(sold[i].cell.toInt(), cells[i]);
      EXPECT_EQ(sold[i].nomenclature_id.toInt(), cells[i] == 3 ? 11 : 12);
    }
  }

  bool waitFor(const std::function<bool()>& pred, int ms = 10000) {
    return QTest::qWaitFor(pred, ms);
  }

  QTemporaryDir dir;
  std::unique_ptr<TLogThread> events;
  std::unique_ptr<VendotekSim> sim;
  std::unique_ptr<TVendotek> vendotek;
  std::unique_ptr<TSberDevice> sber;
};

TEST_F(CardPaymentTest, VendotekApprovesAndQueuesOneSaleEventPerUnit) {
  startVendotek();
  TCardPayment p(setup(ptVendotek));
  p.start();
  ASSERT_TRUE(waitFor([&] { return p.finished(); }));
  EXPECT_TRUE(p.approved());
  EXPECT_EQ(sim->waitFor("VRP", 1, 0).getValue(vtAmountMinorCurrency), "13823");
  expectSold(138.23 / 145.50);
  EXPECT_TRUE(eventsOf(evPaymentError).empty());
  EXPECT_TRUE(p.takeCheckout());
  EXPECT_FALSE(p.takeCheckout());
}

TEST_F(CardPaymentTest, VendotekDeclineCountsNothing) {
  startVendotek();
  sim->setVrpAnswer(VendotekSim::VrpAnswer::DeclineOtherAmount);
  TCardPayment p(setup(ptVendotek));
  p.start();
  ASSERT_TRUE(waitFor([&] { return p.finished(); }));
  EXPECT_FALSE(p.approved());
  EXPECT_EQ(p.paymentThread()->error(), kFailed);
  EXPECT_EQ(p.failureText(), kFailed);
  EXPECT_FALSE(TCardPayment::showsSecondLine(p.failureText()));
  EXPECT_TRUE(eventsOf(evUnitSold).empty());
  const auto errors = eventsOf(evPaymentError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].descr, kFailed);
  EXPECT_FALSE(p.takeCheckout());
}

TEST_F(CardPaymentTest, NoAmountNeverReachesTheTerminal) {
  startVendotek();
  for (double amount : {0.0, -5.0, std::nan("")}) {
    SCOPED_TRACE(amount);
    auto s = setup(ptVendotek);
    s.payment_amount = amount;
    TCardPayment p(s);
    p.start();
    ASSERT_TRUE(waitFor([&] { return p.finished(); }));
    EXPECT_FALSE(p.approved());
    EXPECT_EQ(p.paymentThread()->error(), QString::fromUtf8(kBadPaymentAmount));
  }
  EXPECT_EQ(sim->count("VRP"), 0);
  EXPECT_EQ(sim->count("IDL"), 0);
  EXPECT_TRUE(eventsOf(evUnitSold).empty());
  EXPECT_EQ(eventsOf(evPaymentError).size(), 3u);
}

TEST_F(CardPaymentTest, VendotekClosedWhileItRunsFollowsTheTerminal) {
  const struct {
    const char* name;
    VendotekSim::VrpAnswer answer;
    bool approved;
  } cases[] = {
      {"approves late", VendotekSim::VrpAnswer::Approve, true},
      {"declines late", VendotekSim::VrpAnswer::DeclineOtherAmount, false},
      {"stays silent", VendotekSim::VrpAnswer::Silent, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startVendotek();
    sim->setVrpAnswer(c.answer);
    sim->setVrpDelayMs(700);
    // The driver gives up on a silent terminal after this.
    sim->setIdleExtraTags({{vtOperationTimeoutS, "1"}});
    TCardPayment p(setup(ptVendotek));
    p.start();
    ASSERT_FALSE(sim->waitFor("VRP", 1, 5000).tags.isEmpty());
    int pumps = 0;
    p.close([&] { ++pumps; });
    EXPECT_TRUE(p.finished());
    EXPECT_GT(pumps, 0);
    EXPECT_FALSE(p.abortTried());  // nothing to abort on this terminal
    EXPECT_EQ(p.approved(), c.approved);
    EXPECT_EQ(p.takeCheckout(), c.approved);
    EXPECT_FALSE(p.takeCheckout());
    EXPECT_EQ(eventsOf(evUnitSold).size(), c.approved ? 3u : 0u);
    events = std::make_unique<TLogThread>(TLogThreadContext{dir.path() + "/" + c.name, {}, {}});
    vendotek.reset();
    sim.reset();
  }
}

// ---- through the bridge ------------------------------------------------------

// A bridge run that answers after a while, whatever marker appears: the real
// bank library does not look at the marker.
plat::ConsoleCommandRunner lateBridge(const char* output, std::chrono::milliseconds after) {
  return [output, after](const QStringList&, const std::atomic<bool>&, const QString&) {
    std::this_thread::sleep_for(after);
    return QString::fromUtf8(output);
  };
}

TEST_F(CardPaymentTest, SberPaysThroughTheBridge) {
  StubSberFolder folder;
  ASSERT_TRUE(folder.ok());
  const struct {
    const char* scenario;
    bool approved;
    QString shown;
  } cases[] = {
      {"result=0\n", true, {}},
      {"result=0\nrcode=05\n", false, "Ошибка 05"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    folder.setScenario(c.scenario);
    sber = std::make_unique<TSberDevice>(folder.path());
    TCardPayment p(setup(ptSber));
    p.start();
    ASSERT_TRUE(waitFor([&] { return p.finished(); }, 60000));
    EXPECT_EQ(p.approved(), c.approved);
    if (!c.approved) {
      EXPECT_EQ(p.failureText(), c.shown);
    }
  }
  EXPECT_TRUE(folder.calls().join('\n').contains("amount=13823"));
  expectSold(138.23 / 145.50);
  EXPECT_EQ(eventsOf(evPaymentError).size(), 1u);
}

TEST_F(CardPaymentTest, SberClosedWhileItRunsFollowsTheTerminal) {
  StubSberFolder folder;
  ASSERT_TRUE(folder.ok());
  folder.setScenario("delay_ms=30000\n");
  const struct {
    const char* name;
    plat::ConsoleCommandRunner runner;  // empty: the real bridge and stand-in
    bool approved;
  } cases[] = {
      {"approves although asked to abort", lateBridge("ok\r\nlast_error=0\r\nrcode=00\r\n", 500ms),
       true},
      {"declines late", lateBridge("ok\r\nlast_error=0\r\nrcode=05\r\n", 500ms), false},
      {"silent until the abort marker", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(folder.path("abort_operation"));
    sber = std::make_unique<TSberDevice>(folder.path(), c.runner);
    FakePad pad;
    pad.failFirst = 0;
    auto s = setup(ptSber);
    s.pinPad = &pad;
    TCardPayment p(s);
    p.start();
    if (!c.runner) {
      ASSERT_TRUE(waitFor([&] { return folder.exists("waiting"); }, 30000));
    }
    p.close([] {});
    EXPECT_TRUE(p.abortTried());
    EXPECT_EQ(pad.calls, 1);
    // The pad's answer 0 is no payment: only the bridge's result counts.
    EXPECT_EQ(p.approved(), c.approved);
    EXPECT_EQ(p.takeCheckout(), c.approved);
    EXPECT_EQ(eventsOf(evUnitSold).size(), c.approved ? 3u : 0u);
    events = std::make_unique<TLogThread>(TLogThreadContext{dir.path() + "/" + c.name, {}, {}});
  }
}

// ---- the screen --------------------------------------------------------------

class PayScreenTest : public CardPaymentTest {
 protected:
  std::unique_ptr<TfmPay> screen(TPOSType type) {
    auto s = std::make_unique<TfmPay>();
    s->setup = setup(type);
    s->payment_amount = 138.23;
    s->total_amount = 145.50;
    s->discount = 7.27;
    s->errorDisplayMs = 10;
    s->playSound = [this](const QString& f, bool onlyWhenPresent) {
      sounds << (onlyWhenPresent ? f : f + "!");
    };
    s->checkout = [this] { ++checkouts; };
    return s;
  }

  // Shows the screen and waits until it has ended by itself.
  bool runUntilDone(TfmPay& s) {
    s.open();
    return QTest::qWaitFor([&] { return !s.isVisible(); }, 30000);
  }

  QStringList sounds;
  int checkouts = 0;
};

TEST_F(PayScreenTest, ApprovedPaymentRunsTheCheckoutOnce) {
  startVendotek();
  auto s = screen(ptVendotek);
  ASSERT_TRUE(runUntilDone(*s));
  EXPECT_EQ(s->result(), TfmPay::mrOk);
  EXPECT_EQ(checkouts, 1);
  EXPECT_TRUE(s->unconditional_closing);
  EXPECT_EQ(s->lbPaymentAmount->text(), "138,23 ₽");
  EXPECT_FALSE(s->lbTotal->isHidden());
  EXPECT_FALSE(s->lbDiscount->isHidden());
  EXPECT_TRUE(s->lbCashback->isHidden());
  EXPECT_EQ(sounds.value(0), "payment_invite.wav");
  EXPECT_FALSE(sounds.contains("payment_error.wav!"));
  // A close after the end changes nothing.
  s->close();
  EXPECT_EQ(checkouts, 1);
}

TEST_F(PayScreenTest, DeclinedPaymentShowsTheFixedLineAndCancels) {
  startVendotek();
  sim->setVrpAnswer(VendotekSim::VrpAnswer::DeclineOtherAmount);
  auto s = screen(ptVendotek);
  s->discount = 0;
  ASSERT_TRUE(runUntilDone(*s));
  EXPECT_EQ(s->result(), TfmPay::mrCancel);
  EXPECT_EQ(checkouts, 0);
  EXPECT_EQ(s->lbErr1->text(), kFailed);
  EXPECT_FALSE(s->lbErr1->isHidden());
  EXPECT_TRUE(s->lbErr2->isHidden());
  EXPECT_TRUE(s->lbTotal->isHidden());
  EXPECT_TRUE(sounds.contains("payment_error.wav!"));
  EXPECT_TRUE(eventsOf(evUnitSold).empty());
}

TEST_F(PayScreenTest, BridgeRefusalShowsItsOwnSecondLine) {
  sber = std::make_unique<TSberDevice>(dir.path(),
                                       lateBridge("ok\r\nlast_error=0\r\nrcode=05\r\n", 0ms));
  auto s = screen(ptSber);
  ASSERT_TRUE(runUntilDone(*s));
  EXPECT_EQ(s->result(), TfmPay::mrCancel);
  EXPECT_FALSE(s->lbErr2->isHidden());
  EXPECT_EQ(s->lbErr2->text(), "Ошибка 05");
}

TEST_F(PayScreenTest, ClosedWhileTheTerminalWorks) {
  const struct {
    const char* name;
    VendotekSim::VrpAnswer answer;
    int result;
  } cases[] = {
      {"approves late", VendotekSim::VrpAnswer::Approve, TfmPay::mrOk},
      {"declines late", VendotekSim::VrpAnswer::DeclineOtherAmount, TfmPay::mrCancel},
      {"stays silent", VendotekSim::VrpAnswer::Silent, TfmPay::mrCancel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startVendotek();
    sim->setVrpAnswer(c.answer);
    sim->setVrpDelayMs(700);
    sim->setIdleExtraTags({{vtOperationTimeoutS, "1"}});
    checkouts = 0;
    auto s = screen(ptVendotek);
    s->open();
    ASSERT_FALSE(sim->waitFor("VRP", 1, 5000).tags.isEmpty());
    // A second close while the first waits, and the result timer, must not
    // run a second checkout.
    QTimer::singleShot(50, s.get(), [&] { s->close(); });
    s->close();
    EXPECT_FALSE(s->isVisible());
    EXPECT_EQ(s->result(), c.result);
    EXPECT_EQ(checkouts, c.result == TfmPay::mrOk ? 1 : 0);
    QTest::qWait(300);
    EXPECT_EQ(checkouts, c.result == TfmPay::mrOk ? 1 : 0);
    s.reset();
    vendotek.reset();
    sim.reset();
  }
}

TEST_F(PayScreenTest, FailingCheckoutStillEndsPaid) {
  startVendotek();
  auto s = screen(ptVendotek);
  s->checkout = [this] {
    ++checkouts;
    throw Exception("Счётчики недоступны.");
  };
  ASSERT_TRUE(runUntilDone(*s));
  EXPECT_EQ(s->result(), TfmPay::mrOk);
  EXPECT_EQ(checkouts, 1);
  const auto info = eventsOf(evInformation);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].descr, "Счётчики недоступны.");
}

}  // namespace
