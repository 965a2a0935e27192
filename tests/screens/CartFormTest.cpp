// The cart's form offscreen: its lines, texts and page buttons follow the
// plain cart, a price keeps to its column, the minus button of the last unit
// asks first, a paid cart closes with ok without the reset question, no modal
// the cart opens runs with its idle reset armed, and the offered methods'
// logos take turns on the pay button.

#include <gtest/gtest.h>

#include <QGraphicsOpacityEffect>
#include <QKeyEvent>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <functional>

#include "kiosk/Common.h"
#include "kiosk/TouchButton.h"
#include "screens/Recycle.h"
#include "tests/support/FastClock.h"
#include "tests/support/LayoutCheck.h"

namespace {

TProduct product(int cell, double price, const QString& name) {
  TProduct p;
  p.isSnack = true;
  p.cell = cell;
  p.price = price;
  p.name = name;
  return p;
}

struct Form {
  TLoyalityCardInfo loyalty;
  int resetQuestions = 0;
  bool resetAnswer = false;  // "Отмена"
  int deleteQuestions = 0;
  bool deleteAnswer = false;
  // Runs inside the removal question, while it is open.
  std::function<void()> duringDeleteQuestion;
  std::optional<TProduct> scanned;
  std::unique_ptr<TfmRecycle> form;

  explicit Form(TCartSettings settings = {}) {
    TCartHooks h;
    h.settings = [settings] { return settings; };
    h.loyaltyCardInfo = [this]() -> TLoyalityCardInfo& { return loyalty; };
    h.askReset = [this](int) {
      ++resetQuestions;
      return resetAnswer;
    };
    h.confirmDelete = [this](const QString&) {
      ++deleteQuestions;
      if (duringDeleteQuestion) duringDeleteQuestion();
      return deleteAnswer;
    };
    h.cardTerminalFound = [] { return true; };
    h.runCardScreen = [] { return 1; };
    h.takeSelectedProduct = [this] {
      auto p = scanned;
      scanned.reset();
      return p;
    };
    form = std::make_unique<TfmRecycle>(nullptr, h);
    form->resize(1920, 1080);
  }
};

TEST(CartForm, ShowsTheScannedProductAndItsTexts) {
  Form f;
  f.loyalty.isActive = true;
  f.loyalty.discount.percent = 5;
  f.scanned = product(1, 104.5, "Сэндвич");
  f.form->show();
  ASSERT_EQ(f.form->selected_goods().size(), 1u);
  const TSelectedGood& g = f.form->selected_goods()[0];
  ASSERT_NE(g.lNomenclature, nullptr);
  EXPECT_EQ(g.lNomenclature->text(), "Сэндвич");
  EXPECT_EQ(g.lPrice->text(), "104,50");
  EXPECT_EQ(g.lCount->text(), "1");
  EXPECT_EQ(f.form->btPay->label()->text(), "Оплатить 99,28 ₽");
  EXPECT_EQ(f.form->lbAmount->text(), "Итого: 104,50 ₽  Скидка: 5,22 ₽");
  // Without page buttons the total has room for the heading's font.
  EXPECT_EQ(FontSizeOf(f.form->lbAmount), FontSizeOf(f.form->lbTop));
  EXPECT_EQ(f.form->lbTop->text(), "Скидка по карте лояльности: 5%");
  EXPECT_TRUE(f.form->btPay->isEnabled());
  f.form->hide();
}

TEST(CartForm, ManyLinesPageWithDotsAndButtons) {
  Form f;
  f.loyalty.isActive = true;
  f.loyalty.discount.percent = 12.5;
  f.form->show();
  int cell = 1;
  for (; f.form->cart.getPagesCount() < 2 && cell < 200; ++cell)
    f.form->addProduct(product(cell, 999999.99, QStringLiteral("Товар %1").arg(cell)));
  ASSERT_EQ(f.form->cart.getPagesCount(), 2);
  EXPECT_EQ(f.form->cart.page_ind, 1);  // on the new line's page
  EXPECT_FALSE(f.form->btNext->isHidden());
  EXPECT_FALSE(f.form->btPrev->isHidden());
  EXPECT_EQ(f.form->drinkCircles.size(), 2u);
  for (TRectangle* dot : f.form->drinkCircles) EXPECT_TRUE(layoutcheck::isDrawnRound(dot));
  // The long total with its discount gives way to the page buttons: it ends
  // at the right margin, starts clear of the next-page button and takes a
  // smaller font than the heading's to fit between them.
  const QRect amount = f.form->lbAmount->geometry();
  const int margin = int(ScreenSize().width() / 75);
  EXPECT_GE(amount.left(), f.form->btNext->geometry().right() + margin);
  EXPECT_NEAR(amount.right() + 1, f.form->lbAmount->parentWidget()->width() - margin, 1);
  EXPECT_LT(FontSizeOf(f.form->lbAmount), FontSizeOf(f.form->lbTop));
  // Only the lines of the page shown are visible.
  for (const TSelectedGood& g : f.form->selected_goods())
    EXPECT_EQ(g.lNomenclature->isVisibleTo(f.form.get()), g.page_ind == 1);
  f.form->btPrevClick();
  EXPECT_EQ(f.form->cart.page_ind, 0);
  EXPECT_TRUE(f.form->selected_goods()[0].lNomenclature->isVisibleTo(f.form.get()));
  f.form->hide();
}

// A price wider than its column takes a smaller font and stays right of the
// column's line, ending under the column's heading as every price does; a
// price that fits keeps the name's font.
TEST(CartForm, APriceKeepsToItsColumn) {
  Form f;
  f.form->show();
  f.form->addProduct(product(1, 999999.99, QStringLiteral("Сэндвич с ветчиной и сыром")));
  f.form->addProduct(product(2, 5, QStringLiteral("Вода")));
  const QWidget* form = f.form.get();
  auto inForm = [form](const QWidget* w) { return QRect(w->mapTo(form, QPoint()), w->size()); };
  const int lineRight = inForm(f.form->line1).right();
  const int headingRight = inForm(f.form->lbPrice).right();
  for (const TSelectedGood& g : f.form->selected_goods()) {
    SCOPED_TRACE(g.lPrice->text().toStdString());
    EXPECT_GT(inForm(g.lPrice).left(), lineRight);
    EXPECT_EQ(inForm(g.lPrice).right(), headingRight);
  }
  const TSelectedGood& wide = f.form->selected_goods()[0];
  const TSelectedGood& narrow = f.form->selected_goods()[1];
  EXPECT_LT(FontSizeOf(wide.lPrice), FontSizeOf(wide.lNomenclature));
  EXPECT_EQ(FontSizeOf(narrow.lPrice), FontSizeOf(narrow.lNomenclature));
  f.form->hide();
}

TEST(CartForm, MinusOnTheLastUnitAsksAndPaidCartClosesWithoutQuestion) {
  Form f;
  f.scanned = product(1, 50, "Вода");
  f.form->show();
  // The line's own minus button.
  TRectangle* minus = f.form->selected_goods()[0].rectDec;
  ASSERT_NE(minus, nullptr);
  emit minus->mouseDown();
  EXPECT_EQ(f.deleteQuestions, 1);
  EXPECT_EQ(f.form->selected_goods().size(), 1u);  // declined

  // Closing with a line asks; "Отмена" keeps the cart open.
  f.form->reject();
  EXPECT_EQ(f.resetQuestions, 1);
  EXPECT_TRUE(f.form->isVisible());

  f.form->btPayMouseDown();
  EXPECT_EQ(f.form->result(), 1);
  EXPECT_FALSE(f.form->isVisible());
  EXPECT_EQ(f.resetQuestions, 1);
  EXPECT_TRUE(f.form->selected_goods().empty());
}

// The idle reset used to fire under the removal question: it cleared the
// lines and closed the cart, and the question's OK then erased a line of the
// emptied list (a crash under ASan).
TEST(CartForm, IdleResetNeverFiresUnderTheRemovalQuestion) {
  Form f;
  f.scanned = product(1, 50, "Вода");
  f.form->show();
  f.form->tmIdle->setInterval(5);  // the idle reset is due long before the answer
  f.form->tmIdle->start();
  f.deleteAnswer = true;
  f.resetAnswer = true;  // a reset would clear the lines and close the cart
  bool idleArmed = true;
  f.duringDeleteQuestion = [&] {
    idleArmed = f.form->tmIdle->isActive();
    QTest::qWait(100);  // the question's own event loop
  };
  emit f.form->selected_goods()[0].rectDec->mouseDown();

  EXPECT_FALSE(idleArmed);
  EXPECT_EQ(f.resetQuestions, 0);
  EXPECT_TRUE(f.form->selected_goods().empty());  // the answer applied
  EXPECT_TRUE(f.form->isVisible());
  EXPECT_TRUE(f.form->tmIdle->isActive()) << "the countdown goes on after the question";
  f.form->hide();
}

// Every modal the cart opens runs with the cart's timers stopped, and the
// idle countdown runs again once it has returned.
TEST(CartForm, EveryModalPausesTheTimers) {
  struct Case {
    const char* name;
    // Installs the hook under test; it calls probe() while "open".
    std::function<void(TCartHooks&, const std::function<void()>& probe)> install;
    std::function<void(Form&)> trigger;
  };
  const Case cases[] = {
      {"removal question",
       [](TCartHooks& h, const std::function<void()>& probe) {
         h.confirmDelete = [probe](const QString&) {
           probe();
           return false;
         };
       },
       [](Form& f) { emit f.form->selected_goods()[0].rectDec->mouseDown(); }},
      {"a scanned key (loyalty greeting, message)",
       [](TCartHooks& h, const std::function<void()>& probe) {
         h.scannerKeyUp = [probe](QKeyEvent*) { probe(); };
       },
       [](Form& f) { QTest::keyRelease(f.form.get(), Qt::Key_4); }},
      {"card screen",
       [](TCartHooks& h, const std::function<void()>& probe) {
         h.runCardScreen = [probe] {
           probe();
           return 2;
         };
       },
       [](Form& f) { f.form->btPayMouseDown(); }},
      {"drink menu",
       [](TCartHooks& h, const std::function<void()>& probe) {
         h.openDrinkMenu = [probe] {
           probe();
           return std::optional<TProduct>();
         };
       },
       [](Form& f) { f.form->btDrinkMouseDown(); }},
      {"barcode keypad",
       [](TCartHooks& h, const std::function<void()>& probe) {
         h.openBarcodeKeypad = [probe] {
           probe();
           return std::optional<TProduct>();
         };
       },
       [](Form& f) { f.form->btBarcodeMouseDown(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLoyalityCardInfo loyalty;
    std::vector<bool> armed;
    TfmRecycle* form = nullptr;
    const std::function<void()> probe = [&] {
      armed.push_back(form->tmIdle->isActive() || form->tmSelectedGood->isActive());
    };
    TCartHooks h;
    h.settings = [] { return TCartSettings{}; };
    h.loyaltyCardInfo = [&]() -> TLoyalityCardInfo& { return loyalty; };
    h.askReset = [](int) { return false; };
    h.cardTerminalFound = [] { return true; };
    h.confirmDelete = [](const QString&) { return false; };
    c.install(h, probe);
    Form f;  // for the trigger's access; its own form is replaced
    f.form = std::make_unique<TfmRecycle>(nullptr, h);
    form = f.form.get();
    f.form->resize(1920, 1080);
    f.form->show();
    f.form->addProduct(product(1, 50, "Вода"));
    f.form->tmIdle->start();
    c.trigger(f);
    ASSERT_EQ(armed.size(), 1u);
    EXPECT_FALSE(armed[0]);
    EXPECT_TRUE(f.form->tmIdle->isActive());
    f.form->hide();
  }
}

}  // namespace

// The logos of the offered methods take turns on the pay button, in the
// order card, SBP, badge, identity card, each fading in over 0.2 s as it
// appears; a method that is not offered never shows.
TEST(CartForm, ThePayButtonShowsTheOfferedMethodsLogosInTurn) {
  plat::ManualClock clock;
  testkit::ClockScope clockScope(&clock);
  TCartSettings some;
  some.sbp_enabled = true;
  some.cardProject_id = 7;
  TCartSettings every = some;
  every.yandex_badge_enabled = true;
  const struct {
    const char* name;
    TCartSettings settings;
    std::vector<const char*> turns;  // the logo shown, then after each tick
  } cases[] = {
      {"card only", {}, {"imPay", "imPay"}},
      {"card, SBP, identity card", some, {"imPay", "imSBP", "imIdentityCard", "imPay"}},
      {"every method", every, {"imPay", "imSBP", "imYandexBadge", "imIdentityCard", "imPay"}},
  };
  const char* const logos[] = {"imPay", "imSBP", "imYandexBadge", "imIdentityCard"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Form f(c.settings);
    f.form->show();
    EXPECT_EQ(f.form->tmPaymentImage->isActive(), c.turns.size() > 2);
    EXPECT_EQ(f.form->tmPaymentImage->interval(), 1500);
    for (size_t turn = 0; turn < c.turns.size(); ++turn) {
      SCOPED_TRACE(turn);
      if (turn > 0) f.form->tmPaymentImageTimer();
      QLabel* shown = nullptr;
      for (const char* name : logos) {
        auto* logo = f.form->btPay->findChild<QLabel*>(QLatin1String(name));
        ASSERT_NE(logo, nullptr) << name;
        EXPECT_EQ(logo->isVisible(), QByteArray(name) == c.turns[turn]) << name;
        if (logo->isVisible()) shown = logo;
      }
      ASSERT_NE(shown, nullptr);
      EXPECT_FALSE(shown->pixmap().isNull());
      if (turn == 0 || c.turns.size() == 2) {
        EXPECT_EQ(shown->graphicsEffect(), nullptr);  // the first logo shows at once
        continue;
      }
      // Fades in: transparent as it appears, half way after 0.1 s, whole after 0.2 s.
      auto* fade = qobject_cast<QGraphicsOpacityEffect*>(shown->graphicsEffect());
      ASSERT_NE(fade, nullptr);
      EXPECT_DOUBLE_EQ(fade->opacity(), 0);
      EXPECT_TRUE(f.form->tmPaymentImageFade->isActive());
      clock.advance(100);
      f.form->tmPaymentImageFadeTimer();
      EXPECT_DOUBLE_EQ(fade->opacity(), 0.5);
      clock.advance(100);
      f.form->tmPaymentImageFadeTimer();
      EXPECT_EQ(shown->graphicsEffect(), nullptr);
      EXPECT_FALSE(f.form->tmPaymentImageFade->isActive());
    }
    f.form->hide();
  }
}
