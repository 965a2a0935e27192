// Escape on the sale screens: a stray keyboard (or a scanner that sends it)
// must never skip, abandon or abort anything. Every screen is shown in the
// state in which a customer could press it: waiting for the payment, the
// card, the cup or a choice.

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "backoffice/JClient.h"
#include "devices/Vendotek.h"
#include "kiosk/LogThread.h"
#include "screens/Badge.h"
#include "screens/Confirmation.h"
#include "screens/Pay.h"
#include "screens/PaymentMethod.h"
#include "screens/Recycle.h"
#include "screens/SBP.h"
#include "testbed/SimHandlers.h"
#include "testbed/VendotekSim.h"
#include "tests/support/SaleScreenTestKit.h"

namespace {

TProduct water() {
  TProduct p;
  p.isSnack = true;
  p.cell = 3;
  p.nomenclature_id = 11;
  p.price = 55.00;
  p.name = QStringLiteral("Вода");
  return p;
}

// What the screens need around them: a cart, the stand-in back office (SBP)
// and a simulated card terminal that keeps the payment waiting.
class SaleScreensEscape : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
    TLogThreadContext ctx;
    ctx.dataFolder = dir.path();
    events = std::make_unique<TLogThread>(ctx);

    office = std::make_unique<sim::BackofficeSim>(dir.filePath("sim.db"));
    office->start();
    office->db().setOption("sbp_polls", 1000000);  // never paid
    testkit::connectToSim(client, *office);

    terminal = std::make_unique<VendotekSim>(dir.path(), 4);
    terminal->setVrpAnswer(VendotekSim::VrpAnswer::Silent);
    terminal->setIdleExtraTags({{vtOperationTimeoutS, "2"}});
    vendotek = std::make_unique<TVendotek>();
    vendotek->setComPort(4);

    TCartHooks h;
    h.settings = [] {
      TCartSettings s;
      s.sbp_enabled = true;
      return s;
    };
    h.loyaltyCardInfo = [this]() -> TLoyalityCardInfo& { return loyalty; };
    h.askReset = [](int) { return false; };
    h.cardTerminalFound = [] { return true; };
    h.runCardScreen = [] { return 2; };
    cart = std::make_unique<TfmRecycle>(nullptr, h);
    cart->resize(1920, 1080);
    cart->addProduct(water());
  }

  void TearDown() override { qunsetenv("VEKTA_PORTS_DIR"); }

  QTemporaryDir dir;
  std::unique_ptr<TLogThread> events;
  std::unique_ptr<sim::BackofficeSim> office;
  TJClient client;
  std::unique_ptr<VendotekSim> terminal;
  std::unique_ptr<TVendotek> vendotek;
  TLoyalityCardInfo loyalty;
  std::unique_ptr<TfmRecycle> cart;
};

TEST_F(SaleScreensEscape, NoScreenActsOnEscape) {
  int checkouts = 0;
  struct Row {
    const char* name;
    std::function<std::unique_ptr<QDialog>()> make;
    // The screen waits for the customer (its work has started).
    std::function<bool(QDialog&)> waiting;
  };
  const Row rows[] = {
      {"cart",
       [&]() -> std::unique_ptr<QDialog> {
         TCartHooks h = cart->cart.hooks;
         auto f = std::make_unique<TfmRecycle>(nullptr, h);
         f->addProduct(water());
         return f;
       },
       [](QDialog&) { return true; }},
      {"payment-method dialog",
       [&]() -> std::unique_ptr<QDialog> {
         return std::make_unique<TfmPaymentTypeDialog>(cart.get());
       },
       [](QDialog&) { return true; }},
      {"cup confirmation of a paid drink",
       []() -> std::unique_ptr<QDialog> { return std::make_unique<TfmConfirmation>(); },
       [](QDialog&) { return true; }},
      {"badge", []() -> std::unique_ptr<QDialog> { return std::make_unique<TfmYandexBadge>(); },
       [](QDialog& d) {
         // Waiting before its request: the request itself is not the point.
         static_cast<TfmYandexBadge&>(d).tmStart->stop();
         return true;
       }},
      {"identity card",
       []() -> std::unique_ptr<QDialog> { return std::make_unique<TfmIdentityCard>(); },
       [](QDialog&) { return true; }},
      {"card payment while the terminal waits",
       [&]() -> std::unique_ptr<QDialog> {
         auto s = std::make_unique<TfmPay>();
         s->setup.pos_type = ptVendotek;
         s->setup.vendotek = vendotek.get();
         s->setup.events = events.get();
         s->setup.lines = {{water(), 1}};
         s->payment_amount = 55.00;
         s->errorDisplayMs = 10;
         s->playSound = [](const QString&, bool) {};
         s->checkout = [&] { ++checkouts; };
         return s;
       },
       [&](QDialog&) { return !terminal->waitFor("VRP", 1, 5000).tags.isEmpty(); }},
      {"SBP while the code is shown",
       [&]() -> std::unique_ptr<QDialog> {
         auto s = std::make_unique<TfmSBP>();
         s->payment_amount = 55.00;
         s->setup.mainClient = &client;
         s->setup.vm_id = 5;
         s->setup.pollMs = 5;
         s->dataFolder = dir.filePath("data");
         s->errorDisplayMs = 10;
         s->playSound = [](const QString&, bool) {};
         s->confirmKeepWaiting = [] { return false; };
         s->checkout = [&] { ++checkouts; };
         return s;
       },
       [](QDialog& d) {
         auto& s = static_cast<TfmSBP&>(d);
         return QTest::qWaitFor([&] { return s.paymentThread()->polls() >= 1; }, 10000);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<QDialog> d = row.make();
    d->open();
    ASSERT_TRUE(row.waiting(*d));
    QTest::keyClick(d.get(), Qt::Key_Escape);
    QTest::qWait(50);
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->result(), 0);
    if (auto* sbp = dynamic_cast<TfmSBP*>(d.get())) {
      EXPECT_FALSE(sbp->paymentThread()->stopRequested()) << "the session is still watched";
    }
    if (auto* pay = dynamic_cast<TfmPay*>(d.get())) {
      EXPECT_FALSE(pay->payment()->finished()) << "the terminal still waits for the card";
    }
    // Gone without its close path: the destructors stop the workers.
    d->hide();
    d.reset();
  }
  EXPECT_EQ(checkouts, 0);
}

}  // namespace
