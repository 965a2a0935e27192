// Whole sales in the kiosk itself, in-process and offscreen: the main form
// registers with the stand-in back office, finds the card terminal, opens the
// home screen, and a script plays the customer on the real screens: it scans
// goods and a loyalty card, presses "pay", picks the card, and the terminal
// (the Vendotek simulator, or the bridge with the stand-in bank library)
// approves or declines. Then the back office, the data folder and the screens
// are checked for the sale: events 46, counters, the fiscal check with the
// re-priced goods, the receipt code and the emptied cart.

#include <ZXing/ReadBarcode.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "../bridge/StubSberFolder.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/Expectation.h"
#include "kiosk/Main.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "kiosk/TouchButton.h"
#include "platform/TextCodec.h"
#include "screens/Gratitude.h"
#include "screens/LoyalityCardSubmitThread.h"
#include "screens/Pay.h"
#include "screens/PaymentMethod.h"
#include "screens/Recycle.h"
#include "testbed/SimHandlers.h"
#include "testbed/VendotekSim.h"

namespace {

// Codes of the demo assortment and a loyalty card with 10 % off and no points.
const QString kWater = QStringLiteral("4601234000017");      // drink cell 1, 60.00
const QString kCroissant = QStringLiteral("4601234000192");  // snack cell 9, 89.50
const QString kCard = QStringLiteral("7770000000031");

// The customer's moves, played from a timer while the kiosk's modal screens
// run their own event loops. Each step waits until its screen is there, then
// acts once; an act may open the next modal screen and only return when it
// closes, so the step is counted as done before it acts, and the polling goes
// on inside the nested loops.
class CustomerScript {
 public:
  static constexpr int kStepLimitMs = 60000;

  void step(const char* name, std::function<bool()> ready, std::function<void()> act = {}) {
    steps_.push_back({name, std::move(ready), std::move(act)});
  }

  void start() {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    stepStart_.start();
    timer_.start();
  }

  bool finished() const { return next_ >= steps_.size() && acting_ == 0; }
  bool failed() const { return !failure_.isEmpty(); }
  QString failure() const { return failure_; }

 private:
  struct Step {
    const char* name;
    std::function<bool()> ready;
    std::function<void()> act;
  };

  void poll() {
    if (failed() || next_ >= steps_.size()) return;
    Step& s = steps_[next_];
    if (!s.ready()) {
      if (stepStart_.hasExpired(kStepLimitMs)) abandon(s.name);
      return;
    }
    ++next_;
    stepStart_.start();
    if (!s.act) return;
    // Not inside this timer's own slot: Qt does not fire a timer again while
    // its slot runs, and the act may not return until its screen closes.
    ++acting_;
    QTimer::singleShot(0, &timer_, [this, act = s.act] {
      act();
      --acting_;
    });
  }

  // A screen never came: every event loop is left at once, so the test ends
  // with its failure instead of hanging in the kiosk's modal screens.
  void abandon(const char* name) {
    failure_ = QStringLiteral("step \"%1\" did not come").arg(QLatin1String(name));
    timer_.stop();
    if (fmMain) fmMain->check_password_on_exit = false;
    QCoreApplication::exit(1);
  }

  std::vector<Step> steps_;
  size_t next_ = 0;
  int acting_ = 0;
  QString failure_;
  QElapsedTimer stepStart_;
  QTimer timer_;
};

// The barcode scanner: digits and Enter, as key presses and releases.
void scan(QWidget* target, const QString& code) {
  QTest::keyClicks(target, code);
  QTest::keyClick(target, Qt::Key_Return);
}

void press(QWidget* button) {
  QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(5, 5));
}

bool visible(QWidget* w) {
  return w && w->isVisible();
}

// What a phone's camera sees: the bitmap enlarged, read back.
QString readQrCode(const QImage& code) {
  const QImage big = code.convertToFormat(QImage::Format_Grayscale8)
                         .scaled(code.size() * 4, Qt::KeepAspectRatio, Qt::FastTransformation);
  const ZXing::Result r =
      ZXing::ReadBarcode(ZXing::ImageView(big.constBits(), big.width(), big.height(),
                                          ZXing::ImageFormat::Lum, int(big.bytesPerLine())),
                         ZXing::DecodeHints().setFormats(ZXing::BarcodeFormat::QRCode));
  return r.isValid() ? QString::fromStdWString(r.text()) : QString();
}

QString readText(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? plat::fromAnsi(f.readAll()) : QString();
}

class KioskSale : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(data.isValid() && runtime.isValid() && ports.isValid() && office.isValid());
    ASSERT_TRUE(bank.ok());
    qputenv("VEKTA_DATA_DIR", data.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    qputenv("VEKTA_PORTS_DIR", ports.path().toUtf8());
    qputenv("VEKTA_OSK_COMMAND", "true");
    TfmMain::sberFolder = bank.path();
    TfmMain::openHomeScreen = ShowExpectation;
    registerSaleScreens();

    backoffice = std::make_unique<sim::BackofficeSim>(office.filePath(QStringLiteral("bo.db")));
    // The thanks screen's shortest stay, so the test does not wait 10 s.
    backoffice->db().exec(QStringLiteral("update tbVmSettings set vekta_qr_code_delay = 3"));
    backoffice->start();

    TSettingsStorage ss;
    writeText(ss, SettingsKeys::host, QStringLiteral("127.0.0.1"));
    writeInt(ss, SettingsKeys::port, backoffice->port());
    writeText(ss, SettingsKeys::login, QStringLiteral("demo"));
    writePassword(ss, SettingsKeys::password, QStringLiteral("demo"));
    ss.SaveToIniFile(data.filePath(QStringLiteral("vekta.ini")));
  }

  void TearDown() override {
    TfmMain::sberFolder.clear();
    TfmMain::openHomeScreen = nullptr;
    if (recoverLoops) {
      // The script left every event loop with exit(): run the application's
      // loop once, which clears that for the tests after this one.
      QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
      QCoreApplication::exec();
    }
    for (const char* name : {"VEKTA_DATA_DIR", "XDG_RUNTIME_DIR", "VEKTA_PORTS_DIR"})
      qunsetenv(name);
  }

  // The customer's first moves: the home screen once the terminal is known,
  // a product scanned there opens the cart, a second product and the loyalty
  // card scanned in the cart, the pay button, the card in the method dialog.
  void scriptUpToTheCardScreen(TPOSType terminal) {
    script.step(
        "home screen with the terminal",
        [=] { return visible(fmExpectation) && fmMain && fmMain->pos_type == terminal; },
        [] { scan(fmExpectation, kWater); });
    script.step(
        "cart", [] { return visible(fmRecycle) && fmRecycle->selected_goods().size() == 1; },
        [this] {
          TfmRecycle* cart = fmRecycle;
          QObject::connect(cart, &QDialog::finished, [this, cart](int r) {
            cartResult = r;
            cartLinesAtClose = int(cart->selected_goods().size());
          });
          scan(cart, kCroissant);
          scan(cart, kWater);
          scan(cart, kCard);
        });
    script.step(
        "cart with the card's discount",
        [] {
          return fmRecycle && fmRecycle->selected_goods().size() == 2 &&
                 fmRecycle->cart.discount > 0;
        },
        [this] {
          cartText = fmRecycle->cart.view().payText;
          press(fmRecycle->btPay);
        });
    script.step(
        "payment methods", [] { return visible(fmPaymentTypeDialog); },
        [] { press(fmPaymentTypeDialog->btPay); });
  }

  // The kiosk from its start until the script has ended and the main form
  // has closed.
  void runKiosk() {
    {
      TfmMain form;
      ASSERT_FALSE(form.terminateRequested());
      script.start();
      form.show();
      const bool ended = QTest::qWaitFor([&] { return script.finished() && !fmExpectation; },
                                         5 * CustomerScript::kStepLimitMs);
      if (script.failed()) recoverLoops = true;
      ASSERT_FALSE(script.failed()) << script.failure().toStdString();
      ASSERT_TRUE(ended);
    }
    log = readText(data.filePath(QStringLiteral("vekta.log")));
  }

  // The last step: the home screen again, then the kiosk closes as a shutdown does.
  void scriptLeaveWhen(std::function<bool()> ready) {
    script.step(
        "home screen again", [ready] { return visible(fmExpectation) && !fmRecycle && ready(); },
        [] {
          fmMain->check_password_on_exit = false;
          fmExpectation->done(2);
        });
  }

  int count(const QString& sql) {
    return backoffice->db().select(sql).rows.value(0).value(0).toInt();
  }

  // The approved sale: 2 × water at 60.00 and a croissant at 89.50, 10 % off.
  void expectTheSale(int creditSource) {
    EXPECT_EQ(cartText, QStringLiteral("Оплатить 188,55 ₽"));
    EXPECT_EQ(cartResult, TfmPay::mrOk);
    EXPECT_EQ(cartLinesAtClose, 0);

    const auto sold =
        backoffice->db()
            .select(QStringLiteral("select cell, amount, creditSource_id from "
                                   "tbTerminalLog where event_id = 46 order by event_no"))
            .rows;
    ASSERT_EQ(sold.size(), 3);
    const int cells[] = {1, 1, 9};
    const double amounts[] = {54.00, 54.00, 80.55};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(sold[i][0].toInt(), cells[i]);
      EXPECT_NEAR(sold[i][1].toDouble(), amounts[i], 1e-9);
      EXPECT_EQ(sold[i][2].toInt(), creditSource);
    }

    // Counters: units per product, the discount shared out in kopecks, the
    // cashless total.
    QHash<QString, QStringList> counters;
    for (const QString& line : readText(data.filePath(QStringLiteral("counters")))
                                   .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
      counters.insert(line.section(u'\t', 0, 0), line.split(u'\t'));
    EXPECT_EQ(counters.value(QStringLiteral("d1")).value(1), QStringLiteral("2"));
    EXPECT_EQ(counters.value(QStringLiteral("s9")).value(1), QStringLiteral("1"));
    EXPECT_EQ(counters.value(QStringLiteral("d2")).value(1), QStringLiteral("0"));
    EXPECT_EQ(counters.value(QStringLiteral("d1")).value(4).toInt() +
                  counters.value(QStringLiteral("s9")).value(4).toInt(),
              2095);
    EXPECT_EQ(counters.value(QStringLiteral("total_amount")).value(1), QStringLiteral("18855"));

    // The fiscal check of the amount paid, its goods re-priced to add up to it.
    const auto positions =
        backoffice->db()
            .select(QStringLiteral("select nomenclature_id, price_kop, quantity from "
                                   "tbFiscalCheckPosition order by id"))
            .rows;
    ASSERT_FALSE(positions.empty());
    qint64 sum = 0;
    for (const auto& p : positions) {
      sum += p[1].toLongLong() * p[2].toLongLong();
      EXPECT_TRUE(p[1].toLongLong() == 5400 || p[1].toLongLong() == 8055) << p[1].toLongLong();
    }
    EXPECT_EQ(sum, 18855);
    EXPECT_EQ(
        count(QStringLiteral("select count(*) from tbFiscalCheck where cashless_kop = 18855")), 1);

    // The receipt code on the thanks screen, kept as qr.bmp, says the check.
    EXPECT_TRUE(receiptText.startsWith(QStringLiteral("t="))) << receiptText.toStdString();
    EXPECT_TRUE(receiptText.contains(QStringLiteral("&s=188.55&fn=")));
    EXPECT_EQ(readQrCode(QImage(data.filePath(QStringLiteral("qr.bmp")))), receiptText);

    // The loyalty card's purchase was reported.
    EXPECT_EQ(count(QStringLiteral("select count(*) from tbLoyaltyOperation")), 1);
  }

  // Records the thanks screen's receipt text once its code is shown.
  void scriptThanksScreen() {
    script.step("thanks screen with the receipt code", [this] {
      if (!visible(fmGratitude) || fmGratitude->receiptText.isEmpty()) return false;
      receiptText = fmGratitude->receiptText;
      return true;
    });
  }

  QTemporaryDir data, runtime, ports, office;
  StubSberFolder bank;
  std::unique_ptr<sim::BackofficeSim> backoffice;
  CustomerScript script;
  bool recoverLoops = false;

  QString cartText;
  QString receiptText;
  int cartResult = -1;
  int cartLinesAtClose = -1;
  QString log;
};

TEST_F(KioskSale, OnTheVendotekTerminal) {
  // The bank pad is not there: discovery goes on to the Vendotek terminal.
  bank.setScenario(QStringLiteral("TestPinpad.result=4154\n"));
  VendotekSim terminal(ports.path(), 3);
  scriptUpToTheCardScreen(ptVendotek);
  scriptThanksScreen();
  scriptLeaveWhen([this] {
    return count(QStringLiteral("select count(*) from tbTerminalLog where event_id = 46")) >= 3;
  });
  runKiosk();
  EXPECT_EQ(terminal.waitFor("VRP", 1, 0).getValue(vtAmountMinorCurrency), "18855");
  expectTheSale(2);
}

TEST_F(KioskSale, ThroughTheBridgeAndTheBankLibrary) {
  // A port for the bank pad, which the stand-in library answers on.
  SimPort pad(ports.path(), 2);
  scriptUpToTheCardScreen(ptSber);
  scriptThanksScreen();
  scriptLeaveWhen([this] {
    return count(QStringLiteral("select count(*) from tbTerminalLog where event_id = 46")) >= 3;
  });
  runKiosk();
  EXPECT_TRUE(bank.calls().join('\n').contains(QStringLiteral("amount=18855")))
      << bank.calls().join('\n').toStdString();
  expectTheSale(2);
}

TEST_F(KioskSale, DeclinedPaymentCountsNothing) {
  bank.setScenario(QStringLiteral("TestPinpad.result=4154\n"));
  VendotekSim terminal(ports.path(), 3);
  terminal.setVrpAnswer(VendotekSim::VrpAnswer::DeclineOtherAmount);
  scriptUpToTheCardScreen(ptVendotek);
  QString shown;
  script.step("the card screen's refusal", [&] {
    if (!visible(fmPay) || !fmPay->lbErr1->isVisible()) return false;
    shown = fmPay->lbErr1->text();
    return true;
  });
  // Back in the method dialog: the customer goes back and leaves the cart,
  // confirming that its goods go.
  script.step(
      "payment methods again", [] { return !fmPay && visible(fmPaymentTypeDialog); },
      [] { press(fmPaymentTypeDialog->btClose); });
  script.step(
      "cart again", [] { return !fmPaymentTypeDialog && visible(fmRecycle); },
      [] { press(fmRecycle->btClose); });
  script.step(
      "reset question",
      [] { return visible(qobject_cast<TfmYNCQuestion*>(QApplication::activeModalWidget())); },
      [] { qobject_cast<TfmYNCQuestion*>(QApplication::activeModalWidget())->btYes->click(); });
  // The refusal (event 47) reached the back office: events 46 would have by now.
  scriptLeaveWhen([this] {
    return count(QStringLiteral("select count(*) from tbTerminalLog where event_id = 47")) >= 1;
  });
  runKiosk();

  EXPECT_EQ(shown, QStringLiteral("Не удалось совершить платёж"));
  EXPECT_EQ(cartResult, TfmPay::mrCancel);
  EXPECT_FALSE(QFile::exists(data.filePath(QStringLiteral("counters"))));
  EXPECT_EQ(count(QStringLiteral("select count(*) from tbFiscalCheck")), 0);
  EXPECT_FALSE(QFile::exists(data.filePath(QStringLiteral("qr.bmp"))));
  EXPECT_EQ(count(QStringLiteral("select count(*) from tbLoyaltyOperation")), 0);
  EXPECT_EQ(count(QStringLiteral("select count(*) from tbTerminalLog where event_id = 46")), 0);
}

}  // namespace
