// The thanks screen: re-pricing a sale to the amount paid, the receipt code's
// text and picture, and the fiscal check against the stand-in back office.

#define ZX_USE_UTF8
#include <ZXing/ReadBarcode.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QMutex>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <map>
#include <random>
#include <thread>

#include "backoffice/JClient.h"
#include "backoffice/WireValue.h"
#include "kiosk/EventSink.h"
#include "kiosk/Main.h"
#include "screens/Gratitude.h"
#include "screens/SaleScreenHooks.h"
#include "testbed/SimHandlers.h"
#include "tests/support/SaleScreenTestKit.h"

namespace {

int64_t kop(double roubles) {
  return int64_t(std::nearbyint(roubles * 100));
}

struct Pos {
  int id;
  double price;
  int quantity;
  bool operator==(const Pos&) const = default;
};

void PrintTo(const Pos& p, std::ostream* os) {
  *os << p.quantity << " x " << p.price << " (" << p.id << ")";
}

std::vector<TSaleReportPosition> goodsOf(const std::vector<Pos>& ps) {
  std::vector<TSaleReportPosition> g;
  for (const Pos& p : ps) g.push_back({p.id, QStringLiteral("N%1").arg(p.id), p.price, p.quantity});
  return g;
}

std::vector<Pos> posOf(const std::vector<TSaleReportPosition>& g) {
  std::vector<Pos> ps;
  for (const auto& x : g) ps.push_back({x.nomenclature_id, double(kop(x.price)) / 100, x.quantity});
  return ps;
}

TEST(DistributePaymentAmount, Examples) {
  const struct {
    const char* name;
    std::vector<Pos> goods;
    double paid;
    std::vector<Pos> expected;
  } cases[] = {
      {"one line, a kopeck left that does not divide",
       {{1, 10.00, 3}},
       25.00,
       {{1, 8.33, 2}, {1, 8.34, 1}}},
      {"two lines, the kopeck goes to a unit split off the first",
       {{1, 55.00, 2}, {2, 35.50, 1}},
       140.00,
       {{1, 52.92, 1}, {2, 34.15, 1}, {1, 52.93, 1}}},
      {"paid in full keeps the prices",
       {{1, 55.00, 2}, {2, 35.50, 1}},
       145.50,
       {{1, 55.00, 2}, {2, 35.50, 1}}},
      {"the leftover divides among the first line's units",
       {{1, 1.00, 2}, {2, 1.00, 1}},
       2.03,
       {{1, 0.68, 2}, {2, 0.67, 1}}},
      {"a single unit takes the whole leftover",
       {{1, 0.10, 1}, {2, 0.10, 1}},
       0.15,
       {{1, 0.08, 1}, {2, 0.07, 1}}},
      {"paid nothing", {{1, 5.00, 2}}, 0, {{1, 0.00, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto goods = goodsOf(c.goods);
    distributePaymentAmount(goods, c.paid);
    EXPECT_EQ(posOf(goods), c.expected);
  }
}

// Carts like the kiosk's: whole-kopeck prices, a loyalty discount rounded to
// the kopeck and points written off.
TEST(DistributePaymentAmount, KopecksAlwaysAddUpToThePayment) {
  std::mt19937 rng(20240131);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int cart = 0; cart < 20000; ++cart) {
    std::vector<TSaleReportPosition> goods;
    std::map<int, int> units;
    int64_t total = 0;
    const int lines = uniform(1, 6);
    for (int i = 0; i < lines; ++i) {
      const int price = uniform(0, 5) == 0 ? uniform(1, 99) : uniform(1, 99999);
      const int q = uniform(1, 7);
      goods.push_back({100 + i, QStringLiteral("N"), price / 100.0, q});
      units[100 + i] += q;
      total += int64_t(price) * q;
    }
    const int64_t discount = int64_t(std::nearbyint(double(total) * uniform(0, 30) / 100.0));
    const int64_t points = uniform(0, 2) == 0 ? uniform(0, int(total - discount)) : 0;
    const double paid = double(total - discount - points) / 100;
    const size_t before = goods.size();
    SCOPED_TRACE(testing::Message() << "cart " << cart << " total " << total << " paid " << paid);

    distributePaymentAmount(goods, paid);

    int64_t sum = 0;
    std::map<int, int> after;
    for (const auto& g : goods) {
      ASSERT_GE(g.price, 0);
      ASSERT_GT(g.quantity, 0);
      sum += kop(g.price) * g.quantity;
      after[g.nomenclature_id] += g.quantity;
    }
    ASSERT_EQ(sum, kop(paid));
    ASSERT_EQ(after, units);
    ASSERT_LE(goods.size(), before + 1);
  }
}

TEST(ReceiptQrText, SameOnEveryLocale) {
  TCheckInfo c;
  c.dt = dateTimeToDays(QDateTime(QDate(2024, 1, 31), QTime(14, 2, 59)));
  c.fnSerialNumber = QStringLiteral("9999078900012345");
  c.fdNumber = 4294967295u;
  c.fp = 3456789012u;
  const struct {
    double paid;
    const char* s;
  } amounts[] = {{140, "140.00"}, {99.5, "99.50"}, {0.07, "0.07"}, {1234567.891, "1234567.89"}};

  const QLocale saved;
  QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
  const char* cLocale = std::setlocale(LC_NUMERIC, "ru_RU.UTF-8");
  if (!cLocale) std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  ASSERT_EQ(QLocale().decimalPoint(), QStringLiteral(","));
  for (const auto& a : amounts) {
    EXPECT_EQ(
        receiptQrText(c, a.paid),
        QStringLiteral("t=20240131T1402&s=%1&fn=9999078900012345&i=4294967295&fp=3456789012&n=1")
            .arg(QLatin1String(a.s)));
  }
  std::setlocale(LC_NUMERIC, "C");
  QLocale::setDefault(saved);
}

// What a phone's camera sees: the bitmap enlarged, read back.
ZXing::Result readCode(const QImage& code) {
  const QImage big = code.convertToFormat(QImage::Format_Grayscale8)
                         .scaled(code.size() * 4, Qt::KeepAspectRatio, Qt::FastTransformation);
  return ZXing::ReadBarcode(ZXing::ImageView(big.constBits(), big.width(), big.height(),
                                             ZXing::ImageFormat::Lum, int(big.bytesPerLine())),
                            ZXing::DecodeHints().setFormats(ZXing::BarcodeFormat::QRCode));
}

TEST(GenerateQRCode, LevelLOnePixelPerModuleQuietZoneOne) {
  const QString text =
      QStringLiteral("t=20240131T1402&s=140.00&fn=9999078900012345&i=12&fp=3456789012&n=1");
  const QImage img = generateQRCode(text);
  ASSERT_FALSE(img.isNull());
  // A version-v code is 17 + 4v modules; with one module of margin on each side.
  EXPECT_EQ(img.width(), img.height());
  EXPECT_EQ((img.width() - 2 - 17) % 4, 0);
  for (int i = 0; i < img.width(); ++i) {
    EXPECT_EQ(qGray(img.pixel(i, 0)), 255);
    EXPECT_EQ(qGray(img.pixel(0, i)), 255);
  }
  // The finder pattern starts right after the quiet zone.
  EXPECT_EQ(qGray(img.pixel(1, 1)), 0);

  const ZXing::Result r = readCode(img);
  ASSERT_TRUE(r.isValid());
  EXPECT_EQ(QString::fromStdString(r.text()), text);
  EXPECT_EQ(r.ecLevel(), "L");
}

// ---- the screen against the stand-in back office ---------------------------

using testkit::RecordingSink;

class GratitudeScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    sim = std::make_unique<sim::BackofficeSim>(dir.filePath("sim.db"));
    // Requests 1068 refused while refuse1068 > 0.
    sim->server().setRequestHandler([this](const ServerRequest& rq, ServerReply& rp) {
      // A check made while cutReplies > 0, whose answer the connection loses.
      if (rq.code == 1068 && cutReplies.fetchAndAddRelaxed(-1) > 0) {
        sim->handlers().handle(rq, rp);
        sim->server().addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
        return;
      }
      if (rq.code == 1068 && refuse1068.fetchAndAddRelaxed(-1) > 0) {
        refusals.fetchAndAddRelease(1);
        throw Exception(QStringLiteral("Касса недоступна."));
      }
      // A check, or the firm id before it, held at the server while the test
      // asks for it (at most 30 s); then handled as ever.
      auto held = [&] {
        return (rq.code == 1068 && holdChecks.load()) || (rq.code == 53 && holdFirmId.load());
      };
      for (int i = 0; held() && i < 6000; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      sim->handlers().handle(rq, rp);
    });
    sim->start();
    testkit::connectToSim(client, *sim);
  }

  // Checks left to the background write to this fixture's sink and server.
  void TearDown() override { EXPECT_TRUE(TCheckCreationThread::waitForAll(60000)); }

  std::unique_ptr<TfmGratitude> screen() {
    auto s = std::make_unique<TfmGratitude>();
    s->create_checks = true;
    s->mainClient = &client;
    s->vm_id = 5;
    s->dataFolder = dir.filePath("data");
    s->events = sink;
    s->vekta_qr_code_delay = 1;
    s->retryPauseMs = 1;
    s->resendPauseMs = 1;
    TProduct water, bar;
    water.cell = 3;
    water.name = QStringLiteral("Вода");
    water.nomenclature_id = 11;
    water.price = 55.00;
    bar.cell = 4;
    bar.name = QStringLiteral("Батончик");
    bar.nomenclature_id = 12;
    bar.price = 35.50;
    s->goods = {{water, 2}, {bar, 1}};
    s->payment_amount = 140.00;
    return s;
  }

  // Shows the screen and waits until it has closed by itself.
  static bool runUntilClosed(TfmGratitude& s, int limitMs = 60000) {
    s.open();
    return QTest::qWaitFor([&] { return !s.isVisible(); }, limitMs);
  }

  int reportsStored() {
    return sim->db().select("select count(*) from tbFiscalCheck").rows[0][0].toInt();
  }

  QTemporaryDir dir;
  std::unique_ptr<sim::BackofficeSim> sim;
  QAtomicInt cutReplies = 0;
  QAtomicInt refuse1068 = 0;
  QAtomicInt refusals = 0;
  std::atomic<bool> holdChecks{false};
  std::atomic<bool> holdFirmId{false};
  TJClient client;
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
};

TEST_F(GratitudeScreen, ShowsTheReceiptCodeAndKeepsItAsQrBmp) {
  auto s = screen();
  ASSERT_TRUE(runUntilClosed(*s));

  ASSERT_NE(s->checkInfo.fdNumber, 0u);
  EXPECT_TRUE(s->check_creation_error.isEmpty());
  EXPECT_TRUE(s->receiptText.startsWith("t="));
  EXPECT_TRUE(s->receiptText.contains("&s=140.00&fn=" + s->checkInfo.fnSerialNumber +
                                      "&i=" + QString::number(s->checkInfo.fdNumber) + "&fp="));
  // The register took the re-priced goods: they add up to the payment.
  const auto rows = sim->db()
                        .select(
                            "select nomenclature_id, price_kop, quantity from "
                            "tbFiscalCheckPosition order by id")
                        .rows;
  ASSERT_EQ(rows.size(), 3);
  EXPECT_EQ(rows[0][1].toLongLong(), 5292);
  EXPECT_EQ(rows[1][1].toLongLong(), 3415);
  EXPECT_EQ(rows[2][1].toLongLong(), 5293);

  QImage bmp(QDir(dir.filePath("data")).filePath("qr.bmp"));
  ASSERT_FALSE(bmp.isNull());
  const ZXing::Result r = readCode(bmp);
  ASSERT_TRUE(r.isValid());
  EXPECT_EQ(QString::fromStdString(r.text()), s->receiptText);
  EXPECT_TRUE(sink->all().empty());
}

TEST_F(GratitudeScreen, ClosesWhenQrBmpCannotBeWritten) {
  // The data folder is a file: neither the folder nor qr.bmp can be made.
  QFile blocker(dir.filePath("data"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  auto s = screen();
  ASSERT_TRUE(runUntilClosed(*s));
  EXPECT_FALSE(s->receiptText.isEmpty());
  EXPECT_FALSE(s->QRCodeBitmap.isNull());
}

TEST_F(GratitudeScreen, SevenRefusalsQueueOneEventAndClose) {
  refuse1068 = 100;
  auto s = screen();
  ASSERT_TRUE(runUntilClosed(*s));
  EXPECT_EQ(s->checkCreationThread()->reportsSent(), TCheckCreationThread::kTries);
  EXPECT_EQ(s->checkInfo.id, 0);
  EXPECT_EQ(s->check_creation_error, "Касса недоступна.");
  EXPECT_TRUE(s->receiptText.isEmpty());
  const auto events = sink->all();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, 1);
  EXPECT_EQ(events[0].second, "Не удалось сформировать кассвый чек (Касса недоступна.).");
}

// The first report's answer is lost on the way, the register refuses every
// later try: the back office made the check all the same, and the event must
// not call it "not made", whatever the last try said.
TEST_F(GratitudeScreen, ALostAnswerLeavesTheCheckInDoubtAfterLaterRefusals) {
  cutReplies = 1;
  refuse1068 = 100;
  auto s = screen();
  ASSERT_TRUE(runUntilClosed(*s));
  EXPECT_EQ(s->checkCreationThread()->reportsSent(), TCheckCreationThread::kTries);
  EXPECT_EQ(s->checkInfo.id, 0);
  EXPECT_EQ(reportsStored(), 1);
  const auto events = sink->all();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, 1);
  EXPECT_EQ(events[0].second.toStdString(),
            "Не получен ответ на запрос кассового чека на сумму 140.00 руб. (Касса "
            "недоступна.): запрос отправлен, чек мог быть сформирован.");
}

TEST_F(GratitudeScreen, RetriesUntilTheRegisterAnswers) {
  refuse1068 = 3;
  auto s = screen();
  ASSERT_TRUE(runUntilClosed(*s));
  EXPECT_EQ(s->checkCreationThread()->reportsSent(), 4);
  EXPECT_NE(s->checkInfo.fdNumber, 0u);
  EXPECT_TRUE(sink->all().empty());
  EXPECT_EQ(reportsStored(), 1);
}

TEST_F(GratitudeScreen, ResendsWhileTheFiscalDataIsLate) {
  const struct {
    int delay;  // reports answered without a document number
    int sent;
    bool receipt;
  } cases[] = {{1, 2, true}, {2, 3, true}, {5, 3, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delay);
    sim->db().exec("delete from tbFiscalCheck");
    sim->db().setOption("fiscal_fd_delay", c.delay);
    auto s = screen();
    ASSERT_TRUE(runUntilClosed(*s));
    EXPECT_EQ(s->checkCreationThread()->reportsSent(), c.sent);
    EXPECT_EQ(s->checkInfo.fdNumber != 0, c.receipt);
    EXPECT_EQ(s->receiptText.isEmpty(), !c.receipt);
    // The same sale resent is one check, not several.
    EXPECT_EQ(reportsStored(), 1);
  }
}

TEST_F(GratitudeScreen, ThanksOnlyWithoutACheck) {
  const struct {
    bool disable;
    bool createChecks;
    QString balance;
  } cases[] = {
      {true, true, {}}, {false, false, {}}, {true, true, "Баланс карты: 12 ₽"}};
  for (const auto& c : cases) {
    auto s = screen();
    s->disable_check_creation = c.disable;
    s->create_checks = c.createChecks;
    s->balance_message = c.balance;
    s->open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return s->tmClose->isActive(); }, 5000));
    EXPECT_EQ(s->tmClose->interval(), TfmGratitude::kThanksOnlyMs);
    EXPECT_EQ(s->checkCreationThread(), nullptr);
    EXPECT_EQ(s->lbCheck->isVisible(), !c.balance.isEmpty());
    if (!c.balance.isEmpty()) {
      EXPECT_EQ(s->lbCheck->text(), c.balance);
    }
    s->btCloseMouseDown();
    EXPECT_FALSE(s->isVisible());
  }
  EXPECT_EQ(reportsStored(), 0);
}

// The customer's "×" after a failed try: the sale is paid, so its check goes
// on in the background within its tries, after the screen is gone, and the
// program's exit waits for it.
TEST_F(GratitudeScreen, ClosedScreenLeavesTheCheckToTheBackground) {
  refuse1068 = 1;  // the first try fails, the second would succeed
  // The second try waits at the server until the screen is gone, so that a
  // slow run (under ThreadSanitizer, say) cannot finish it before the close.
  holdChecks = true;
  auto s = screen();
  s->retryPauseMs = 1500;  // the customer closes during the pause before the second try
  s->open();
  ASSERT_TRUE(QTest::qWaitFor([&] { return refusals.loadAcquire() == 1; }, 10000));
  s->btCloseMouseDown();
  EXPECT_FALSE(s->isVisible());
  s.reset();  // freed by the checkout, as after every sale
  EXPECT_EQ(reportsStored(), 0);
  holdChecks = false;

  // What the program does before it ends.
  registerSaleScreens();
  ASSERT_TRUE(TfmMain::waitForSaleWorkers);
  TfmMain::waitForSaleWorkers(closeBudget());
  EXPECT_EQ(reportsStored(), 1);
  EXPECT_TRUE(sink->all().empty()) << "no failure reported";
}

// The close stops a check whose back office is slow. Once the report went
// out whole, the back office may make the check after all, so the event must
// not call it "not made": an operator would make a second receipt. A stop
// before the report went out leaves the check surely not made.
TEST_F(GratitudeScreen, TheCloseTellsACheckThatMayExistFromOneNotMade) {
  const struct {
    const char* name;
    bool holdReport;  // else the firm id, before the report, is held
    int reports;      // reports the back office made in the end
    QString event;
  } cases[] = {
      {"the answer to the report is cut off", true, 1,
       "Не получен ответ на запрос кассового чека на сумму 140.00 руб. (программа "
       "завершается): запрос отправлен, чек мог быть сформирован."},
      {"the stop comes before the report went out", false, 0,
       "Не удалось сформировать кассвый чек (программа завершается)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim->db().exec("delete from tbFiscalCheck");
    sim->server().clearRequests();
    {
      std::lock_guard lock(sink->m);
      sink->events.clear();
    }
    const int code = c.holdReport ? 1068 : 53;
    holdChecks = c.holdReport;
    holdFirmId = !c.holdReport;
    TCheckCreationSetup setup;
    setup.mainClient = &client;
    setup.pmVmId = QStringLiteral("5");
    setup.goods = {{11, QStringLiteral("Вода"), 70.00, 2}};
    setup.payment_amount = 140.00;
    setup.events = sink;
    setup.retryPauseMs = 1;
    auto worker = TCheckCreationThread::start(setup);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          for (const auto& r : sim->server().requests())
            if (r.code == code) return true;
          return false;
        },
        20000));

    // What the program's close does with the checks still running.
    EXPECT_TRUE(TCheckCreationThread::stopAll(20000));
    EXPECT_TRUE(worker->finished());
    const auto events = sink->all();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, 1);
    EXPECT_EQ(events[0].second.toStdString(), c.event.toStdString());

    // The slow back office goes on with what it received.
    holdChecks = false;
    holdFirmId = false;
    EXPECT_TRUE(QTest::qWaitFor([&] { return reportsStored() == c.reports; }, 20000));
    int sent = 0;
    for (const auto& r : sim->server().requests()) sent += r.code == 1068;
    EXPECT_EQ(sent, c.reports) << "a report was sent after the stop";
  }
}

}  // namespace
