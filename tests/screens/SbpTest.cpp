// The SBP payment screen: the poll decisions, and the screen against the
// stand-in back office: paid after some polls, refused, expired, a code the
// back office would not make, and the close paths, including a "paid" that
// arrives while the screen closes.

#define ZX_USE_UTF8
#include <ZXing/ReadBarcode.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QMutex>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "backoffice/JClient.h"
#include "kiosk/EventSink.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "screens/Checkout.h"
#include "screens/PaymentThreads.h"
#include "screens/SBP.h"
#include "testbed/SimHandlers.h"
#include "tests/support/SaleScreenTestKit.h"

namespace {

TEST(SbpPollOutcome, Decisions) {
  const int64_t limit = 180000;
  const struct {
    std::optional<int> status;
    int64_t elapsed;
    TSbpPollOutcome expected;
  } cases[] = {
      {0, 1000, TSbpPollOutcome::Pending},
      {3, 1000, TSbpPollOutcome::Pending},  // other values: still open
      {std::nullopt, 1000, TSbpPollOutcome::Pending},
      {1, 1000, TSbpPollOutcome::Paid},
      {2, 1000, TSbpPollOutcome::Refused},
      {0, limit, TSbpPollOutcome::Pending},
      {0, limit + 1, TSbpPollOutcome::Expired},
      {std::nullopt, limit + 1, TSbpPollOutcome::Expired},
      {1, limit + 5000, TSbpPollOutcome::Paid},  // the money is taken: a sale
      {2, limit + 5000, TSbpPollOutcome::Refused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.status ? *c.status : -1) << " at " << c.elapsed);
    EXPECT_EQ(sbpPollOutcome(c.status, c.elapsed, limit), c.expected);
  }
}

using testkit::RecordingSink;

// The checkout's steps, recorded.
struct RecordingSteps : ICheckoutSteps {
  std::vector<TSaleEvent> events;
  TCounterKind counterKind = ckDiscountKop;
  double counterDiscount = -1;
  int loyaltySubmissions = 0;
  int thanks = 0;
  void queueSaleEvent(const TSaleEvent& e) override { events.push_back(e); }
  void updateCounters(const std::vector<TSelectedGood>&, TCounterKind kind, double d) override {
    counterKind = kind;
    counterDiscount = d;
  }
  bool drinkAfterPayment() const override { return false; }
  void paymentModuleAddProduct(int) override {}
  void submitLoyalty(const QString&, double, double) override { ++loyaltySubmissions; }
  void playSound(const QString&) override {}
  bool carimaliMachine() const override { return false; }
  bool confirmCup(const TProduct&) override { return false; }
  void prepareDrink(const TProduct&) override {}
  void showGratitude(const TGratitudeSetup&) override { ++thanks; }
  void stepFailed(const QString&) override {}
};

ZXing::Result readCode(const QImage& code) {
  const QImage big = code.convertToFormat(QImage::Format_Grayscale8)
                         .scaled(code.size() * 4, Qt::KeepAspectRatio, Qt::FastTransformation);
  return ZXing::ReadBarcode(ZXing::ImageView(big.constBits(), big.width(), big.height(),
                                             ZXing::ImageFormat::Lum, int(big.bytesPerLine())),
                            ZXing::DecodeHints().setFormats(ZXing::BarcodeFormat::QRCode));
}

class SbpScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    sim = std::make_unique<sim::BackofficeSim>(dir.filePath("sim.db"));
    sim->server().setRequestHandler([this](const ServerRequest& rq, ServerReply& rp) {
      if (rq.code == 1088 && !refuseQrCode.isEmpty()) throw Exception(refuseQrCode);
      if (rq.code == 1089 && holdStatus) {
        statusEntered.release();
        statusGate.acquire();
      }
      if (rq.code == 1089 && onStatusRequest) onStatusRequest(++statusRequests);
      sim->handlers().handle(rq, rp);
    });
    sim->start();
    testkit::connectToSim(client, *sim);

    TProduct water, bar;
    water.cell = 3;
    water.name = QStringLiteral("Вода");
    water.nomenclature_id = 11;
    water.price = 55.00;
    bar.cell = 4;
    bar.isSnack = true;
    bar.name = QStringLiteral("Батончик");
    bar.nomenclature_id = 12;
    bar.price = 35.50;
    sale.method = TPaymentMethod::SBP;
    sale.lines.resize(2);
    sale.lines[0].product = water;
    sale.lines[0].quantity = 2;
    sale.lines[1].product = bar;
    sale.lines[1].quantity = 1;
    sale.total_amount = 145.50;
    sale.discount = 5.50;
    sale.payment_amount = 140.00;
    sale.discountCoeff = 140.00 / 145.50;
    sale.loyaltyCardActive = true;
    sale.loyaltyCardNo = QStringLiteral("7770001");
    sale.loyaltySystem_id = 3;
  }

  void TearDown() override {
    onStatusRequest = nullptr;
    holdStatus = false;
    statusGate.release(100);
    plat::setClock(nullptr);
  }

  std::unique_ptr<TfmSBP> screen() {
    auto s = std::make_unique<TfmSBP>();
    s->payment_amount = sale.payment_amount;
    s->total_amount = sale.total_amount;
    s->discount = sale.discount;
    s->cashback = sale.cashback;
    s->setup.mainClient = &client;
    s->setup.vm_id = 5;
    s->setup.events = &sink;
    s->setup.pollMs = 5;
    s->dataFolder = dir.filePath("data");
    s->errorDisplayMs = 10;
    s->checkout = [this] {
      ++checkouts;
      runCheckout(sale, steps, false);
    };
    s->playSound = [this](const QString& f, bool) { sounds << f; };
    s->confirmKeepWaiting = [this] {
      ++questions;
      return keepWaiting;
    };
    return s;
  }

  static bool waitClosed(TfmSBP& s, int limitMs = 30000) {
    return QTest::qWaitFor([&] { return !s.isVisible(); }, limitMs);
  }

  int requestsOf(int code) {
    int n = 0;
    for (const ServerRequest& r : sim->server().requests()) n += r.code == code ? 1 : 0;
    return n;
  }

  QVariantList session() {
    const auto rows =
        sim->db().select("select amount, status, polls from tbSbpSession order by id").rows;
    return rows.isEmpty() ? QVariantList() : rows.last();
  }

  QTemporaryDir dir;
  std::unique_ptr<sim::BackofficeSim> sim;
  TJClient client;
  RecordingSink sink;
  RecordingSteps steps;
  TCheckoutSale sale;
  int checkouts = 0;
  int questions = 0;
  bool keepWaiting = true;
  QStringList sounds;
  QString refuseQrCode;
  std::atomic<bool> holdStatus{false};
  QSemaphore statusEntered, statusGate;
  // Called on the server's thread before a status request is answered, with
  // the number of status requests so far; set before the screen opens.
  std::function<void(int)> onStatusRequest;
  std::atomic<int> statusRequests{0};
};

TEST_F(SbpScreen, PaidAfterSomePollsRunsTheCheckoutOnce) {
  for (int pending : {0, 2}) {
    SCOPED_TRACE(pending);
    sim->db().setOption("sbp_polls", pending);
    steps = {};
    checkouts = 0;
    sounds.clear();
    auto s = screen();
    s->open();
    ASSERT_TRUE(waitClosed(*s));

    EXPECT_EQ(s->result(), TfmSBP::mrOk);
    EXPECT_EQ(checkouts, 1);
    EXPECT_EQ(s->paymentThread()->status(), TSbpPaymentThread::trPaid);
    EXPECT_EQ(s->paymentThread()->polls(), pending + 1);
    // The session was opened for the amount to pay, not the total.
    EXPECT_DOUBLE_EQ(session().value(0).toDouble(), 140.00);

    // One event per unit: source 7, the discounted price and its discount.
    ASSERT_EQ(steps.events.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      const TSaleEvent& e = steps.events[i];
      const double price = i < 2 ? 55.00 : 35.50;
      EXPECT_EQ(e.creditSource_id, 7);
      EXPECT_DOUBLE_EQ(e.amount, price * sale.discountCoeff);
      EXPECT_DOUBLE_EQ(e.discount.toDouble(), price * (1 - sale.discountCoeff));
      EXPECT_EQ(e.loyaltySystem_id.toInt(), 3);
      EXPECT_EQ(e.loayalty_card_no.toString(), "7770001");
      EXPECT_TRUE(e.cardProject_id.isNull());
      EXPECT_TRUE(e.card_no.isNull());
    }
    EXPECT_EQ(steps.counterKind, ckSBP);
    EXPECT_DOUBLE_EQ(steps.counterDiscount, 5.50);
    EXPECT_EQ(steps.loyaltySubmissions, 1);
    EXPECT_EQ(steps.thanks, 1);
    EXPECT_TRUE(sink.all().empty());
    EXPECT_TRUE(sounds.contains("payment_invite.wav"));

    // What the customer's phone reads is the back office's text.
    const QImage bmp(QDir(dir.filePath("data")).filePath("sbp.bmp"));
    ASSERT_FALSE(bmp.isNull());
    const ZXing::Result code = readCode(bmp);
    ASSERT_TRUE(code.isValid());
    EXPECT_EQ(QString::fromStdString(code.text()), s->paymentThread()->qrCode());
    EXPECT_TRUE(s->paymentThread()->qrCode().contains("sum=14000"));
  }
}

TEST_F(SbpScreen, RefusedOrExpiredSessionShowsTheFixedLineAndCloses) {
  plat::ManualClock clock;
  const struct {
    const char* name;
    int result;  // the back office's final status
    bool expire;
  } cases[] = {{"refused", 2, false}, {"expired", 1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim->db().setOption("sbp_result", c.result);
    sim->db().setOption("sbp_polls", c.expire ? 1000000 : 1);
    if (c.expire) plat::setClock(&clock);
    sounds.clear();
    auto s = screen();
    s->open();
    if (c.expire) {
      ASSERT_TRUE(QTest::qWaitFor([&] { return s->paymentThread()->polls() >= 2; }, 10000));
      EXPECT_TRUE(s->isVisible());
      clock.advance(180001);
    }
    ASSERT_TRUE(waitClosed(*s));
    plat::setClock(nullptr);

    EXPECT_EQ(s->result(), TfmSBP::mrCancel);
    EXPECT_EQ(checkouts, 0);
    EXPECT_EQ(s->paymentThread()->status(), TSbpPaymentThread::trError);
    EXPECT_TRUE(s->paymentThread()->error().isEmpty());
    EXPECT_TRUE(s->lbErr1->isVisibleTo(s.get()));
    EXPECT_FALSE(s->lbErr2->isVisibleTo(s.get()));
    EXPECT_FALSE(s->imQRCode->isVisibleTo(s.get()));
    const auto events = sink.all();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), std::make_pair(47, QStringLiteral("Не удалось совершить платёж.")));
    EXPECT_EQ(sounds.last(), "payment_error.wav");
  }
}

TEST_F(SbpScreen, NoCodeNoPolls) {
  const struct {
    const char* name;
    QString refusal;
    double amount;
    int requests1088;
    QString shown;
  } cases[] = {
      {"refused by the back office", "Сервис СБП недоступен. Повторите позже.", 140.00, 1,
       "Сервис СБП недоступен. Повторите позже."},
      {"nothing to pay", {}, 0, 0, QString::fromUtf8(kBadPaymentAmount)},
      {"a refund", {}, -5, 0, QString::fromUtf8(kBadPaymentAmount)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    refuseQrCode = c.refusal;
    sim->server().clearRequests();
    sink.events.clear();
    auto s = screen();
    s->payment_amount = c.amount;
    s->open();
    ASSERT_TRUE(waitClosed(*s));
    EXPECT_EQ(s->result(), TfmSBP::mrCancel);
    EXPECT_EQ(requestsOf(1088), c.requests1088);
    EXPECT_EQ(requestsOf(1089), 0);
    EXPECT_EQ(s->lbErr2->text(), c.shown);
    EXPECT_TRUE(s->lbErr2->isVisibleTo(s.get()));
    EXPECT_EQ(sink.all(), (std::vector<std::pair<int, QString>>{{47, c.shown}}));
    EXPECT_EQ(checkouts, 0);
  }
}

TEST_F(SbpScreen, CloseButtonAsksAndOnlyCancelCloses) {
  sim->db().setOption("sbp_polls", 1000000);
  auto s = screen();
  s->open();
  ASSERT_TRUE(QTest::qWaitFor([&] { return s->paymentThread()->polls() >= 1; }, 10000));
  EXPECT_TRUE(s->imQRCode->isVisibleTo(s.get()));

  keepWaiting = true;  // OK, or no answer within five seconds
  s->btCloseMouseDown();
  EXPECT_TRUE(s->isVisible());
  const int polls = s->paymentThread()->polls();
  ASSERT_TRUE(QTest::qWaitFor([&] { return s->paymentThread()->polls() > polls; }, 10000));

  keepWaiting = false;
  s->btCloseMouseDown();
  EXPECT_FALSE(s->isVisible());
  EXPECT_EQ(questions, 2);
  EXPECT_EQ(s->result(), TfmSBP::mrCancel);
  EXPECT_TRUE(s->paymentThread()->finished());
  EXPECT_EQ(checkouts, 0);
  // The session stays open on the back office.
  EXPECT_EQ(session().value(1).toInt(), 0);
}

TEST_F(SbpScreen, PaidAnswerArrivingWhileClosingIsASale) {
  sim->db().setOption("sbp_polls", 0);  // the first poll finds the session paid
  holdStatus = true;
  auto s = screen();
  s->open();
  ASSERT_TRUE(QTest::qWaitFor([this] { return statusEntered.tryAcquire(); }, 10000));
  // The close comes while the status request is on its way; the answer
  // "paid" arrives only after the worker was asked to stop.
  QTimer::singleShot(50, [this] { statusGate.release(); });
  s->reject();

  EXPECT_FALSE(s->isVisible());
  EXPECT_EQ(s->result(), TfmSBP::mrOk);
  EXPECT_EQ(s->paymentThread()->status(), TSbpPaymentThread::trPaid);
  EXPECT_EQ(checkouts, 1);
  EXPECT_EQ(steps.events.size(), 3u);
  EXPECT_EQ(session().value(1).toInt(), 1);
}

// The customer pays a moment after the time limit: the poll that finds the
// limit passed still says pending, the session is paid just after. The screen
// asks once more before it gives up, and the sale is made, once.
TEST_F(SbpScreen, PaidJustAfterTheTimeLimitIsASale) {
  plat::ManualClock clock;
  plat::setClock(&clock);
  sim->db().setOption("sbp_polls", 2);  // the third status request finds it paid
  onStatusRequest = [&clock](int n) {
    if (n == 2) clock.advance(180001);  // the second poll comes past the limit
  };
  auto s = screen();
  s->open();
  ASSERT_TRUE(waitClosed(*s));
  plat::setClock(nullptr);

  EXPECT_EQ(s->result(), TfmSBP::mrOk);
  EXPECT_EQ(checkouts, 1);
  EXPECT_EQ(requestsOf(1089), 3);
  EXPECT_EQ(s->paymentThread()->status(), TSbpPaymentThread::trPaid);
  EXPECT_EQ(steps.events.size(), 3u);
  EXPECT_FALSE(s->lbErr1->isVisibleTo(s.get()));
  EXPECT_TRUE(sink.all().empty()) << "no payment error was reported";
  EXPECT_EQ(session().value(1).toInt(), 1);
}

// The customer gives up at the close question while the bank app is just
// sending the payment: the screen's last look finds the session paid.
TEST_F(SbpScreen, PaidAsTheScreenIsClosedIsASale) {
  sim->db().setOption("sbp_polls", 1000000);
  TfmSBP* shown = nullptr;
  // Every status request from the close on finds the session paid.
  onStatusRequest = [this, &shown](int) {
    if (shown && shown->paymentThread()->stopRequested())
      sim->db().exec("update tbSbpSession set status = 1");
  };
  auto s = screen();
  s->setup.pollMs = 300;  // the close comes while the worker waits between polls
  shown = s.get();
  s->open();
  ASSERT_TRUE(QTest::qWaitFor([&] { return s->paymentThread()->polls() >= 1; }, 10000));
  keepWaiting = false;
  s->btCloseMouseDown();

  EXPECT_FALSE(s->isVisible());
  EXPECT_EQ(s->result(), TfmSBP::mrOk);
  EXPECT_EQ(checkouts, 1);
  EXPECT_EQ(steps.events.size(), 3u);
  EXPECT_EQ(session().value(1).toInt(), 1);
}

TEST_F(SbpScreen, DestroyedWhileWaitingStopsTheWorker) {
  sim->db().setOption("sbp_polls", 1000000);
  auto s = screen();
  s->open();
  ASSERT_TRUE(QTest::qWaitFor([&] { return s->paymentThread()->polls() >= 1; }, 10000));
  s.reset();
  EXPECT_EQ(checkouts, 0);
}

}  // namespace
