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
#include "testbed/VendotekSim.h"
#include "tests/e2e/KioskBench.h"

namespace {

using namespace e2e;

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
    ASSERT_TRUE(bank.ok());
    bench = std::make_unique<KioskBench>(bank.path());
    ASSERT_TRUE(bench->valid());
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

  void runKiosk() {
    const QString failure = bench->run(script);
    ASSERT_TRUE(failure.isEmpty()) << failure.toStdString();
  }

  void scriptLeaveWhen(std::function<bool()> ready) {
    KioskBench::leaveWhen(script, std::move(ready));
  }

  int count(const QString& sql) {
    return bench->backoffice->db().select(sql).rows.value(0).value(0).toInt();
  }

  // The approved sale: 2 × water at 60.00 and a croissant at 89.50, 10 % off.
  void expectTheSale(int creditSource) {
    EXPECT_EQ(cartText, QStringLiteral("Оплатить 188,55 ₽"));
    EXPECT_EQ(cartResult, TfmPay::mrOk);
    EXPECT_EQ(cartLinesAtClose, 0);

    const auto sold =
        bench->backoffice->db()
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
    for (const QString& line : readText(bench->data.filePath(QStringLiteral("counters")))
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
        bench->backoffice->db()
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
    EXPECT_EQ(readQrCode(QImage(bench->data.filePath(QStringLiteral("qr.bmp")))), receiptText);

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

  StubSberFolder bank;
  std::unique_ptr<KioskBench> bench;
  CustomerScript script;

  QString cartText;
  QString receiptText;
  int cartResult = -1;
  int cartLinesAtClose = -1;
};

TEST_F(KioskSale, OnTheVendotekTerminal) {
  // The bank pad is not there: discovery goes on to the Vendotek terminal.
  bank.setScenario(QStringLiteral("TestPinpad.result=4154\n"));
  VendotekSim terminal(bench->ports.path(), 3);
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
  SimPort pad(bench->ports.path(), 2);
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
  VendotekSim terminal(bench->ports.path(), 3);
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
  EXPECT_FALSE(QFile::exists(bench->data.filePath(QStringLiteral("counters"))));
  EXPECT_EQ(count(QStringLiteral("select count(*) from tbFiscalCheck")), 0);
  EXPECT_FALSE(QFile::exists(bench->data.filePath(QStringLiteral("qr.bmp"))));
  EXPECT_EQ(count(QStringLiteral("select count(*) from tbLoyaltyOperation")), 0);
  EXPECT_EQ(count(QStringLiteral("select count(*) from tbTerminalLog where event_id = 46")), 0);
}

}  // namespace
