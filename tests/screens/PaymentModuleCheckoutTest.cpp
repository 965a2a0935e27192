// The checkout's payment-module step against the simulated module: every
// drink unit reported, three tries per unit, and a unit the module never
// takes reported to the operator while the sale stands.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "devices/PaymentModule.h"
#include "screens/Checkout.h"
#include "testbed/PaymentModuleSim.h"

namespace {

TSelectedGood line(bool isSnack, int cell, int quantity) {
  TSelectedGood g;
  g.product.isSnack = isSnack;
  g.product.cell = cell;
  g.product.price = 100;
  g.quantity = quantity;
  return g;
}

// Only the payment module is real; the thanks screen marks the end.
struct ModuleSteps : ICheckoutSteps {
  explicit ModuleSteps(TPaymentModule& m) : module(m) {}
  TPaymentModule& module;
  int moduleCalls = 0;
  bool thanks = false;
  QStringList failures;

  void queueSaleEvent(const TSaleEvent&) override {}
  void updateCounters(const std::vector<TSelectedGood>&, TCounterKind, double) override {}
  bool drinkAfterPayment() const override { return true; }
  void paymentModuleAddProduct(int cell) override {
    ++moduleCalls;
    module.addProduct(cell);
  }
  void submitLoyalty(const QString&, double, double) override {}
  void playSound(const QString&) override {}
  bool carimaliMachine() const override { return false; }
  bool confirmCup(const TProduct&) override { return false; }
  void prepareDrink(const TProduct&) override {}
  void showGratitude(const TGratitudeSetup&) override { thanks = true; }
  void stepFailed(const QString& text) override { failures << text; }
};

class PaymentModuleCheckout : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
    module.setComPort(6);
    sale.lines = {line(false, 4, 3), line(true, 9, 1), line(false, 5, 1)};
  }
  void TearDown() override { qunsetenv("VEKTA_PORTS_DIR"); }

  QTemporaryDir dir;
  PaymentModuleSim sim{dir.path(), 6};
  TPaymentModule module;
  ModuleSteps steps{module};
  TCheckoutSale sale;
};

TEST_F(PaymentModuleCheckout, EveryDrinkUnitIsReportedNeverASnack) {
  sim.dropNextRequests(2);  // the first unit gets through on its third try
  runCheckout(sale, steps, true);
  EXPECT_EQ(sim.productsSold(), (QList<int64_t>{4, 4, 4, 5}));
  EXPECT_EQ(steps.moduleCalls, 6);
  EXPECT_TRUE(steps.failures.isEmpty());
  EXPECT_TRUE(steps.thanks);
}

TEST_F(PaymentModuleCheckout, AUnitTheModuleNeverTakesIsReportedAndTheSaleStands) {
  sale.lines = {line(false, 4, 1), line(false, 5, 1)};
  sim.dropNextRequests(3);  // the whole first unit is lost
  runCheckout(sale, steps, true);
  EXPECT_EQ(sim.productsSold(), QList<int64_t>{5});
  EXPECT_EQ(steps.moduleCalls, 4);
  ASSERT_EQ(steps.failures.size(), 1);
  EXPECT_TRUE(steps.failures[0].contains(QStringLiteral("cell 4")))
      << steps.failures[0].toStdString();
  EXPECT_TRUE(steps.failures[0].contains(QStringLiteral("Timeout during operation.")));
  EXPECT_TRUE(steps.thanks);
}

}  // namespace
