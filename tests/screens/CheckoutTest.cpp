// The checkout after an approved payment: the fixed order of its steps, the
// values of the sale events per method, and the rule that an approved payment
// stays a sale whatever step fails after it.

#include <gtest/gtest.h>

#include "platform/Exception.h"
#include "screens/Checkout.h"

namespace {

TSelectedGood line(bool isSnack, int cell, double price, int quantity, int nomenclature = 0) {
  TSelectedGood g;
  g.product.isSnack = isSnack;
  g.product.cell = cell;
  g.product.price = price;
  g.product.name = isSnack ? "Снек" : "Кофе";
  g.product.nomenclature_id = nomenclature;
  g.quantity = quantity;
  return g;
}

// Records every step as one word; a step named in `failing` raises.
struct FakeSteps : ICheckoutSteps {
  std::vector<QString> calls;
  std::vector<TSaleEvent> events;
  std::vector<QString> failures;
  QStringList failing;
  bool drinkAfter = false;
  bool carimali = false;
  int moduleFailuresLeft = 0;  // the next calls of the module that fail
  std::vector<bool> cupAnswers;
  TGratitudeSetup gratitude;
  double counterDiscount = -1;
  TCounterKind counterKind = ckDiscountKop;
  QString loyaltyCard;
  double loyaltyAmount = -1, loyaltyCashback = -1;

  void step(const QString& name) {
    calls.push_back(name);
    if (failing.contains(name)) throw Exception(name + " failed");
  }
  void queueSaleEvent(const TSaleEvent& e) override {
    events.push_back(e);
    step("event");
  }
  void updateCounters(const std::vector<TSelectedGood>&, TCounterKind kind, double d) override {
    counterKind = kind;
    counterDiscount = d;
    step("counters");
  }
  bool drinkAfterPayment() const override { return drinkAfter; }
  void paymentModuleAddProduct(int cell) override {
    calls.push_back(QStringLiteral("module %1").arg(cell));
    if (moduleFailuresLeft > 0) {
      --moduleFailuresLeft;
      throw Exception("Timeout error.");
    }
  }
  void submitLoyalty(const QString& card, double amount, double cashback) override {
    loyaltyCard = card;
    loyaltyAmount = amount;
    loyaltyCashback = cashback;
    step("loyalty");
  }
  void playSound(const QString& f) override { step("sound " + f); }
  bool carimaliMachine() const override { return carimali; }
  bool confirmCup(const TProduct& drink) override {
    step("cup " + QString::number(drink.cell));
    const bool a = cupAnswers.empty() ? true : cupAnswers.front();
    if (!cupAnswers.empty()) cupAnswers.erase(cupAnswers.begin());
    return a;
  }
  void prepareDrink(const TProduct& drink) override {
    step("drink " + QString::number(drink.cell));
  }
  void showGratitude(const TGratitudeSetup& g) override {
    gratitude = g;
    step("thanks");
  }
  void stepFailed(const QString& text) override { failures.push_back(text); }
};

TCheckoutSale cardSale() {
  TCheckoutSale s;
  s.method = TPaymentMethod::Card;
  s.lines = {line(true, 3, 100, 2, 31), line(false, 7, 50, 1, 71)};
  s.total_amount = 250;
  s.discount = 25;
  s.cashback = 25;
  s.payment_amount = 200;
  s.discountCoeff = 0.8;
  s.loyaltyCardActive = true;
  s.loyaltyCardNo = "7770000000017";
  return s;
}

TEST(Checkout, StepsRunInTheirOrder) {
  FakeSteps steps;
  steps.carimali = true;
  runCheckout(cardSale(), steps, false);
  const std::vector<QString> expected = {"event",    "event",   "event",
                                         "counters", "loyalty", "sound payment_ok.wav",
                                         "cup 7",    "drink 7", "thanks"};
  EXPECT_EQ(steps.calls, expected);
  EXPECT_TRUE(steps.failures.empty());
  EXPECT_EQ(steps.counterKind, ckCard);
  EXPECT_DOUBLE_EQ(steps.counterDiscount, 50);  // discount + points
  EXPECT_EQ(steps.loyaltyCard, "7770000000017");
  EXPECT_DOUBLE_EQ(steps.loyaltyAmount, 200);
  EXPECT_DOUBLE_EQ(steps.loyaltyCashback, 25);
}

TEST(Checkout, CardEventsQueuedByThePaymentAreNotRepeated) {
  FakeSteps steps;
  runCheckout(cardSale(), steps, true);
  EXPECT_TRUE(steps.events.empty());
  EXPECT_EQ(steps.calls.front(), "counters");
}

// Every step after the approval may fail: the sale still goes on to the
// thanks screen, and the failure is reported, never raised.
TEST(Checkout, ApprovedPaymentIsASaleWhateverFails) {
  const QString failingSteps[] = {"event", "counters", "loyalty", "sound payment_ok.wav",
                                  "cup 7", "drink 7",  "thanks"};
  for (const QString& failing : failingSteps) {
    SCOPED_TRACE(failing.toStdString());
    FakeSteps steps;
    steps.carimali = true;
    steps.failing << failing;
    EXPECT_NO_THROW(runCheckout(cardSale(), steps, false));
    // A failing event fails once per unit; every other step once.
    ASSERT_EQ(steps.failures.size(), failing == "event" ? 3u : 1u);
    for (const QString& f : steps.failures)
      EXPECT_TRUE(f.contains(failing + " failed")) << f.toStdString();
    // Every later step still ran.
    EXPECT_EQ(steps.calls.back(), "thanks");
    EXPECT_TRUE(std::find(steps.calls.begin(), steps.calls.end(), "counters") != steps.calls.end());
  }
}

TEST(Checkout, SaleEventsPerMethod) {
  struct Case {
    TPaymentMethod method;
    int source;
    double firstAmount;  // unit price 100 at coefficient 0.8
    TCounterKind kind;
    double counterDiscount;
    bool loyalty;
    bool noCheck;
  };
  const Case cases[] = {
      {TPaymentMethod::Card, 2, 80, ckCard, 50, true, false},
      {TPaymentMethod::SBP, 7, 80, ckSBP, 50, true, false},
      {TPaymentMethod::YandexBadge, 8, 100, ckYandexBadge, 0, false, true},
      {TPaymentMethod::IdentityCard, 4, 100, ckYandexBadge, 0, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(creditSourceOf(c.method));
    TCheckoutSale sale = cardSale();
    sale.method = c.method;
    sale.loyaltySystem_id = 3;
    sale.cardProject_id = 1;
    sale.card_no = "1000001";
    sale.final_balance = 325.5;
    FakeSteps steps;
    runCheckout(sale, steps, false);
    ASSERT_EQ(steps.events.size(), 3u);  // two units of the snack, one drink
    const TSaleEvent& e = steps.events[0];
    EXPECT_EQ(e.creditSource_id, c.source);
    EXPECT_DOUBLE_EQ(e.amount, c.firstAmount);
    EXPECT_EQ(e.cell, 3);
    EXPECT_EQ(e.nomenclature_id, 31);
    EXPECT_EQ(steps.events[2].cell, 7);
    EXPECT_EQ(steps.counterKind, c.kind);
    EXPECT_DOUBLE_EQ(steps.counterDiscount, c.counterDiscount);
    EXPECT_EQ(steps.loyaltyAmount >= 0, c.loyalty);
    EXPECT_EQ(steps.gratitude.disable_check_creation, c.noCheck);
    if (c.method == TPaymentMethod::SBP) {
      EXPECT_EQ(e.loyaltySystem_id.toInt(), 3);
      EXPECT_EQ(e.loayalty_card_no.toString(), "7770000000017");
      EXPECT_NEAR(e.discount.toDouble(), 20, 1e-9);
      EXPECT_TRUE(e.card_no.isNull());
    } else if (c.method == TPaymentMethod::IdentityCard) {
      EXPECT_EQ(e.cardProject_id.toInt(), 1);
      EXPECT_EQ(e.card_no.toString(), "1000001");
      EXPECT_EQ(steps.gratitude.balance_message, "Баланс карты: 325,50 ₽");
    } else {
      EXPECT_TRUE(e.loyaltySystem_id.isNull());
      EXPECT_TRUE(e.discount.isNull());
      EXPECT_TRUE(e.cardProject_id.isNull());
    }
  }
}

TEST(Checkout, NoLoyaltySubmissionWithoutAnActiveCard) {
  TCheckoutSale sale = cardSale();
  sale.loyaltyCardActive = false;
  FakeSteps steps;
  runCheckout(sale, steps, true);
  EXPECT_LT(steps.loyaltyAmount, 0);
}

TEST(Checkout, PaymentModuleGetsEveryDrinkUnitWithThreeTries) {
  TCheckoutSale sale = cardSale();
  sale.lines = {line(false, 4, 50, 3), line(true, 9, 10, 1)};
  FakeSteps steps;
  steps.drinkAfter = true;
  steps.moduleFailuresLeft = 2;  // the first unit succeeds on its third try
  runCheckout(sale, steps, true);
  int moduleCalls = 0;
  for (const QString& c : steps.calls) {
    if (c.startsWith("module")) {
      EXPECT_EQ(c, "module 4");  // never the snack
      ++moduleCalls;
    }
  }
  EXPECT_EQ(moduleCalls, 5);  // 3 for the first unit, 1 each for the other two
  EXPECT_TRUE(steps.failures.empty());

  FakeSteps dead;
  dead.drinkAfter = true;
  dead.moduleFailuresLeft = 1000;
  sale.lines = {line(false, 4, 50, 2)};
  runCheckout(sale, dead, true);
  EXPECT_EQ(std::count(dead.calls.begin(), dead.calls.end(), QString("module 4")), 6);
  EXPECT_EQ(dead.calls.back(), "thanks");  // a dead module does not stop the sale
}

TEST(Checkout, CupConfirmationPerUnitPreparesOnlyConfirmedOnes) {
  TCheckoutSale sale = cardSale();
  sale.lines = {line(false, 2, 90, 2), line(true, 5, 10, 1)};
  FakeSteps steps;
  steps.carimali = true;
  steps.cupAnswers = {false, true};
  runCheckout(sale, steps, true);
  // The unit never confirmed is paid and never made: the operator learns
  // which drink and what to refund (90 at the card's 0.8).
  EXPECT_EQ(
      steps.failures,
      (std::vector<QString>{QStringLiteral("Оплаченный напиток \"Кофе\" на сумму 72 ₽ не "
                                           "приготовлен: "
                                           "программа завершилась. Требуется возврат денег.")}));
  std::vector<QString> drinkSteps;
  for (const QString& c : steps.calls)
    if (c.startsWith("cup") || c.startsWith("drink")) drinkSteps.push_back(c);
  EXPECT_EQ(drinkSteps, (std::vector<QString>{"cup 2", "cup 2", "drink 2"}));
}

}  // namespace
