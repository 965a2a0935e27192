// The cart's form offscreen: its lines, texts and page buttons follow the
// plain cart, the minus button of the last unit asks first, and a paid cart
// closes with ok without the reset question.

#include <gtest/gtest.h>

#include <QLabel>
#include <QTimer>

#include "kiosk/TouchButton.h"
#include "screens/Recycle.h"

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
  int deleteQuestions = 0;
  bool deleteAnswer = false;
  std::optional<TProduct> scanned;
  std::unique_ptr<TfmRecycle> form;

  Form() {
    TCartHooks h;
    h.settings = [] { return TCartSettings{}; };
    h.loyaltyCardInfo = [this]() -> TLoyalityCardInfo& { return loyalty; };
    h.askReset = [this](int) {
      ++resetQuestions;
      return false;
    };
    h.confirmDelete = [this](const QString&) {
      ++deleteQuestions;
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
  EXPECT_EQ(f.form->lbTop->text(), "Скидка по карте лояльности: 5%");
  EXPECT_TRUE(f.form->btPay->isEnabled());
  f.form->hide();
}

TEST(CartForm, ManyLinesPageWithDotsAndButtons) {
  Form f;
  f.form->show();
  int cell = 1;
  for (; f.form->cart.getPagesCount() < 2 && cell < 200; ++cell)
    f.form->addProduct(product(cell, 10, QStringLiteral("Товар %1").arg(cell)));
  ASSERT_EQ(f.form->cart.getPagesCount(), 2);
  EXPECT_EQ(f.form->cart.page_ind, 1);  // on the new line's page
  EXPECT_FALSE(f.form->btNext->isHidden());
  EXPECT_FALSE(f.form->btPrev->isHidden());
  EXPECT_EQ(f.form->drinkCircles.size(), 2u);
  // Only the lines of the page shown are visible.
  for (const TSelectedGood& g : f.form->selected_goods())
    EXPECT_EQ(g.lNomenclature->isVisibleTo(f.form.get()), g.page_ind == 1);
  f.form->btPrevClick();
  EXPECT_EQ(f.form->cart.page_ind, 0);
  EXPECT_TRUE(f.form->selected_goods()[0].lNomenclature->isVisibleTo(f.form.get()));
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

}  // namespace
