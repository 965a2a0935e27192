// The badge and identity-card payment screens: the retry and reader rules,
// and both screens against the stand-in back office: badge time-outs and
// refusals, identity-card balances sufficient and not, and the values the
// sale events and counters get.

#include <gtest/gtest.h>

#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "backoffice/JClient.h"
#include "kiosk/EventSink.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "screens/Badge.h"
#include "screens/PaymentThreads.h"
#include "testbed/SimHandlers.h"
#include "tests/support/FastClock.h"
#include "tests/support/SaleScreenTestKit.h"

namespace {

const QString kTimeoutText = QStringLiteral("Истекло время ожидания платежной карты. Повторите.");

TEST(BadgeTryOutcome, OnlyTheCardTimeOutIsTriedAgainTwice) {
  const struct {
    int attempt;
    std::optional<QString> error;
    TBadgeTryOutcome expected;
  } cases[] = {
      {1, std::nullopt, TBadgeTryOutcome::Paid},
      {3, std::nullopt, TBadgeTryOutcome::Paid},
      {1, kTimeoutText, TBadgeTryOutcome::Retry},
      {2, kTimeoutText, TBadgeTryOutcome::Retry},
      {3, kTimeoutText, TBadgeTryOutcome::Failed},
      {1, QStringLiteral("Бейдж заблокирован."), TBadgeTryOutcome::Failed},
      {1, QString(), TBadgeTryOutcome::Failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.attempt << " " << c.error.value_or("-").toStdString());
    EXPECT_EQ(badgeTryOutcome(c.attempt, c.error), c.expected);
  }
}

TEST(IdentityCardKey, OnlyDigitsAfterTheLastNonDigitCount) {
  // Each character is one released key; '\r' and '\n' end the number.
  const struct {
    const char* keys;
    std::vector<QString> paid;  // the numbers paid with, in order
    QString left;               // input_text afterwards
  } cases[] = {
      {"1234\r", {"1234"}, "1234"},
      {"1234\n", {"1234"}, "1234"},
      {"AB;12-34\r", {"34"}, "34"},
      {"12 ", {}, ""},
      {"\r\n", {}, ""},
      {"12x\r", {}, ""},
      {"5\r6\r", {"5", "56"}, "56"},  // the caller empties it after a try
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    QString input;
    std::vector<QString> paid;
    for (const char* k = c.keys; *k; ++k) {
      const QString text(QChar::fromLatin1(*k));
      const int key = *k == '\r' ? Qt::Key_Return : 0;
      if (identityCardKey(input, key, text)) paid.push_back(input);
    }
    EXPECT_EQ(paid, c.paid);
    EXPECT_EQ(input, c.left);
  }
  // Enter as a key code without text, as a keypad sends it.
  QString input = QStringLiteral("77");
  EXPECT_TRUE(identityCardKey(input, Qt::Key_Enter, QString()));
}

struct RecordingSink : IEventSink {
  void add(int id, const QString& descr) override { events.push_back({id, descr}); }
  std::vector<std::pair<int, QString>> events;
};

struct RecordingSteps : ICheckoutSteps {
  std::vector<TSaleEvent> events;
  TCounterKind counterKind = ckDiscountKop;
  double counterDiscount = -1;
  int loyaltySubmissions = 0;
  std::vector<TGratitudeSetup> thanks;
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
  void showGratitude(const TGratitudeSetup& g) override { thanks.push_back(g); }
  void stepFailed(const QString&) override {}
};

class AccountScreens : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    sim = std::make_unique<sim::BackofficeSim>(dir.filePath("sim.db"));
    sim->server().setRequestHandler([this](const ServerRequest& rq, ServerReply& rp) {
      if (rq.code == 1097 && !refuseBadge.isEmpty()) throw Exception(refuseBadge);
      sim->handlers().handle(rq, rp);
    });
    sim->start();
    testkit::connectToSim(client, *sim);
    sim->db().exec(
        "insert into tbIdentityCard(card_no, holder, cardProject_id, balance) values "
        "('100200', 'Бедный', 9, 50), ('300400', 'Богатый', 9, 500)");

    // 2 x 55.00 and 1 x 35.50 with a loyalty discount: 120.00 to pay.
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
    sale.lines.resize(2);
    sale.lines[0].product = water;
    sale.lines[0].quantity = 2;
    sale.lines[1].product = bar;
    sale.lines[1].quantity = 1;
    sale.total_amount = 145.50;
    sale.discount = 25.50;
    sale.payment_amount = 120.00;
    sale.discountCoeff = 120.00 / 145.50;
    sale.loyaltyCardActive = true;
    sale.loyaltyCardNo = QStringLiteral("7770001");
    sale.loyaltySystem_id = 3;
  }

  template <class Screen>
  std::unique_ptr<Screen> screen(TPaymentMethod method) {
    auto s = std::make_unique<Screen>();
    s->sale = sale;
    s->sale.method = method;
    s->kernel_api = &api;
    s->vm_id = 5;
    s->events = &sink;
    s->checkout = [this](const TCheckoutSale& paid) {
      ++checkouts;
      runCheckout(paid, steps, false);
    };
    s->playSound = [this](const QString& f, bool) { sounds << f; };
    return s;
  }

  // The full unit prices, whatever the discount: the badge and the identity
  // card are charged and logged at list prices.
  void expectListPriceEvents(int source) {
    ASSERT_EQ(steps.events.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(steps.events[i].creditSource_id, source);
      EXPECT_DOUBLE_EQ(steps.events[i].amount, i < 2 ? 55.00 : 35.50);
      EXPECT_TRUE(steps.events[i].discount.isNull());
      EXPECT_TRUE(steps.events[i].loyaltySystem_id.isNull());
    }
    // The identity card has no counter of its own: both count as badge sales.
    EXPECT_EQ(steps.counterKind, ckYandexBadge);
    EXPECT_DOUBLE_EQ(steps.counterDiscount, 0);
    EXPECT_EQ(steps.loyaltySubmissions, 0);
    ASSERT_EQ(steps.thanks.size(), 1u);
    EXPECT_TRUE(steps.thanks[0].disable_check_creation);
  }

  QVariant scalar(const QString& sql) {
    const auto rows = sim->db().select(sql).rows;
    return rows.isEmpty() ? QVariant() : rows[0][0];
  }

  QTemporaryDir dir;
  std::unique_ptr<sim::BackofficeSim> sim;
  TJClient client;
  TKernelAPI api{&client};
  RecordingSink sink;
  RecordingSteps steps;
  TCheckoutSale sale;
  int checkouts = 0;
  QStringList sounds;
  QString refuseBadge;
};

TEST_F(AccountScreens, BadgeTimeOutsAreTriedThreeTimes) {
  const struct {
    int timeouts;  // refusals with the card time-out before the back office accepts
    int tries;
    bool paid;
  } cases[] = {{0, 1, true}, {2, 3, true}, {3, 3, false}, {5, 3, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timeouts);
    sim->db().setOption("badge_timeouts", c.timeouts);
    sim->db().exec("delete from tbBadgePayment");
    steps = {};
    checkouts = 0;
    sounds.clear();
    auto s = screen<TfmYandexBadge>(TPaymentMethod::YandexBadge);
    s->errorDisplayMs = 10;
    EXPECT_FALSE(s->btClose->isVisibleTo(s.get()));
    s->open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !s->isVisible(); }, 30000));

    EXPECT_EQ(s->tries(), c.tries);
    EXPECT_EQ(s->result(), c.paid ? TfmYandexBadge::mrOk : TfmYandexBadge::mrCancel);
    EXPECT_EQ(checkouts, c.paid ? 1 : 0);
    EXPECT_EQ(scalar("select count(*) from tbBadgePayment").toInt(), c.paid ? 1 : 0);
    EXPECT_EQ(scalar("select value from tbSimOption where name = 'badge_timeouts'").toInt(),
              c.timeouts - c.tries + (c.paid ? 1 : 0));
    if (c.paid) {
      // The request carries the list prices, not the discounted amount.
      EXPECT_DOUBLE_EQ(scalar("select amount from tbBadgePayment").toDouble(), 145.50);
      expectListPriceEvents(8);
      EXPECT_TRUE(steps.thanks[0].balance_message.isEmpty());
    } else {
      EXPECT_TRUE(s->lbErr1->isVisibleTo(s.get()));
      EXPECT_EQ(s->lbErr2->text(), "Истекло время ожидания платежной карты");
      EXPECT_EQ(sounds, QStringList{"payment_error.wav"});
    }
    // The screens queue no payment-error event.
    EXPECT_TRUE(sink.events.empty());
  }
}

TEST_F(AccountScreens, BadgeRefusalOrNothingToPayEndsAtOnce) {
  const struct {
    const char* name;
    QString refusal;
    double amount;
    int tries;
    QString shown;
  } cases[] = {
      {"refused", "Бейдж заблокирован. Обратитесь к администратору.", 120.00, 1,
       "Бейдж заблокирован"},
      {"nothing to pay", {}, 0, 0, "Сумма к оплате должна быть больше нуля"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    refuseBadge = c.refusal;
    auto s = screen<TfmYandexBadge>(TPaymentMethod::YandexBadge);
    s->sale.payment_amount = c.amount;
    s->errorDisplayMs = 10;
    s->open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !s->isVisible(); }, 30000));
    EXPECT_EQ(s->result(), TfmYandexBadge::mrCancel);
    EXPECT_EQ(s->tries(), c.tries);
    EXPECT_EQ(s->lbErr2->text(), c.shown);
    EXPECT_EQ(checkouts, 0);
  }
  EXPECT_EQ(scalar("select count(*) from tbBadgePayment").toInt(), 0);
}

TEST_F(AccountScreens, IdentityCardRefusedThenPaidWithTheNextCard) {
  auto s = screen<TfmIdentityCard>(TPaymentMethod::IdentityCard);
  s->cardProject_id = 9;
  QStringList messages;
  s->showMessage = [&](const QString& m) { messages << m; };
  s->open();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(s.get()));

  auto scan = [&](const QString& keys) {
    for (QChar ch : keys) s->FormKeyUp(0, QString(ch));
    s->FormKeyUp(Qt::Key_Return, QStringLiteral("\r"));
  };
  // 50 on the card, 120 to pay: refused, nothing charged, the input starts over.
  scan(QStringLiteral(";100200"));
  EXPECT_EQ(messages, QStringList{"Недостаточный баланс (50 ₽)."});
  EXPECT_TRUE(s->input_text.isEmpty());
  EXPECT_TRUE(s->isVisible());
  EXPECT_EQ(checkouts, 0);
  // A card the back office does not know: its text, and the screen waits on.
  scan(QStringLiteral("999"));
  ASSERT_EQ(messages.size(), 2);
  EXPECT_EQ(messages[1], "Карта 999 не найдена.");
  EXPECT_TRUE(s->isVisible());

  scan(QStringLiteral("300400"));
  EXPECT_FALSE(s->isVisible());
  EXPECT_EQ(s->result(), TfmIdentityCard::mrOk);
  EXPECT_EQ(messages.size(), 2);
  EXPECT_EQ(checkouts, 1);
  EXPECT_DOUBLE_EQ(scalar("select balance from tbIdentityCard where card_no = '300400'").toDouble(),
                   380);
  EXPECT_DOUBLE_EQ(scalar("select balance from tbIdentityCard where card_no = '100200'").toDouble(),
                   50);
  expectListPriceEvents(4);
  for (const TSaleEvent& e : steps.events) {
    EXPECT_EQ(e.cardProject_id.toInt(), 9);
    EXPECT_EQ(e.card_no.toString(), "300400");
  }
  EXPECT_EQ(steps.thanks[0].balance_message, "Баланс карты: 380 ₽");
  EXPECT_TRUE(sink.events.empty());

  // Keys after the payment belong to no card.
  scan(QStringLiteral("300400"));
  EXPECT_EQ(checkouts, 1);
}

// Nobody at the identity-card screen: after the cart's idle time without a
// key it closes with cancel, and the cart takes over. Every key, and a
// refused card, starts the time over.
TEST_F(AccountScreens, IdentityCardClosesAfterTheCartsIdleTimeWithoutAKey) {
  struct Step {
    int64_t advanceMs;
    const char* keys;  // "\r" for the reader's Enter
    bool open;         // still shown afterwards
  };
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"no key", {{29999, "", true}, {1, "", false}}},
      {"a key starts the time over",
       {{29000, "", true}, {0, "4", true}, {29999, "", true}, {1, "", false}}},
      {"a refused card starts the time over",
       {{29000, "100200\r", true}, {29999, "", true}, {1, "", false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plat::ManualClock clock;
    testkit::ClockScope scope(&clock);
    auto s = screen<TfmIdentityCard>(TPaymentMethod::IdentityCard);
    s->vekta_recycle_warning_delay = 30;
    s->showMessage = [](const QString&) {};
    s->tmIdle->setInterval(1);
    s->open();
    for (size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE(i);
      const Step& step = c.steps[i];
      clock.advance(step.advanceMs);
      for (const char* k = step.keys; *k; ++k) {
        if (*k == '\r')
          s->FormKeyUp(Qt::Key_Return, QStringLiteral("\r"));
        else
          s->FormKeyUp(0, QString(QLatin1Char(*k)));
      }
      QTest::qWait(20);
      EXPECT_EQ(s->isVisible(), step.open);
    }
    EXPECT_EQ(s->result(), TfmIdentityCard::mrCancel);
    EXPECT_EQ(checkouts, 0);
  }
}

// A card being paid is never cut off, however long the checkout takes.
TEST_F(AccountScreens, IdentityCardPaymentUnderWayOutlastsTheIdleTime) {
  plat::ManualClock clock;
  testkit::ClockScope scope(&clock);
  auto s = screen<TfmIdentityCard>(TPaymentMethod::IdentityCard);
  s->vekta_recycle_warning_delay = 30;
  s->tmIdle->setInterval(1);
  s->checkout = [&](const TCheckoutSale& paid) {
    clock.advance(60000);
    QTest::qWait(20);
    ++checkouts;
    runCheckout(paid, steps, false);
  };
  s->open();
  for (QChar ch : QStringLiteral("300400\r")) s->FormKeyUp(0, QString(ch));
  QTest::qWait(20);
  EXPECT_EQ(s->result(), TfmIdentityCard::mrOk);
  EXPECT_EQ(checkouts, 1);
}

TEST_F(AccountScreens, IdentityCardNeverSendsNothingToPay) {
  auto s = screen<TfmIdentityCard>(TPaymentMethod::IdentityCard);
  s->sale.payment_amount = 0;
  QStringList messages;
  s->showMessage = [&](const QString& m) { messages << m; };
  s->open();
  for (QChar ch : QStringLiteral("300400\r")) s->FormKeyUp(0, QString(ch));
  EXPECT_EQ(messages, QStringList{QString::fromUtf8(kBadPaymentAmount)});
  EXPECT_EQ(scalar("select count(*) from tbIdentityCardPayment").toInt(), 0);
  EXPECT_TRUE(s->isVisible());
  s->btCloseMouseDown();
  EXPECT_EQ(s->result(), TfmIdentityCard::mrCancel);
}

}  // namespace
