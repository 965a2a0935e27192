// The drink menu: how drinks spread over pages and the grid, which drinks are
// refused and why, and the form's paging, double touch and scan.

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>

#include "kiosk/TouchButton.h"
#include "screens/DrinkMenu.h"
#include "tests/support/LayoutCheck.h"

namespace {

TProduct drink(int cell, double price = 100) {
  TProduct p;
  p.cell = cell;
  p.price = price;
  p.name = QStringLiteral("Напиток %1").arg(cell);
  return p;
}

std::vector<TProduct> drinks(int n) {
  std::vector<TProduct> out;
  for (int i = 1; i <= n; ++i) out.push_back(drink(i));
  return out;
}

}  // namespace

TEST(DrinkPaging, SpreadsDrinksEvenlyOverPages) {
  struct Case {
    int n, max;
    std::vector<int> pages;  // drinks on each page
  };
  const Case cases[] = {
      {0, 10, {0}},
      {1, 10, {1}},
      {10, 10, {10}},
      {11, 10, {6, 5}},
      {20, 10, {10, 10}},
      {21, 10, {7, 7, 7}},
      {23, 10, {8, 8, 7}},
      {3, 1, {1, 1, 1}},
      // A limit below one would divide by zero: it counts as one.
      {3, 0, {1, 1, 1}},
      {2, -5, {1, 1}},
  };
  for (const Case& c : cases) {
    const TDrinkPaging p = drinkPaging(c.n, c.max);
    std::vector<int> got;
    for (int i = 0; i < p.pages_count; ++i) got.push_back(drinksOnPage(c.n, p, i));
    EXPECT_EQ(got, c.pages) << c.n << " drinks, " << c.max << " a page";
    EXPECT_EQ(drinksOnPage(c.n, p, p.pages_count), 0);
    EXPECT_EQ(drinksOnPage(c.n, p, -1), 0);
  }
}

TEST(DrinkPaging, EveryDrinkIsOnExactlyOnePageAndNoPageIsEmpty) {
  for (int max = 1; max <= 16; ++max)
    for (int n = 1; n <= 200; ++n) {
      const TDrinkPaging p = drinkPaging(n, max);
      int total = 0;
      for (int i = 0; i < p.pages_count; ++i) {
        const int c = drinksOnPage(n, p, i);
        ASSERT_GE(c, 1) << n << "/" << max << " page " << i;
        ASSERT_LE(c, max) << n << "/" << max << " page " << i;
        total += c;
      }
      ASSERT_EQ(total, n) << n << "/" << max;
    }
}

TEST(DrinkGrid, LastRowHoldsTheRestAndIsSpreadOut) {
  struct Case {
    int c, columns, rows, lastRow;
  };
  const Case cases[] = {{0, 0, 0, 0}, {1, 1, 1, 1}, {2, 2, 1, 2}, {3, 2, 2, 1},
                        {4, 2, 2, 2}, {5, 3, 2, 2}, {8, 3, 3, 2}, {10, 4, 3, 2}};
  for (const Case& c : cases) {
    const TDrinkGrid g = drinkGrid(c.c);
    EXPECT_EQ(g.columns, c.columns) << c.c;
    EXPECT_EQ(g.rows, c.rows) << c.c;
    EXPECT_EQ(g.lastRow, c.lastRow) << c.c;
  }

  // 10 drinks on 1000 x 700 below a 100 high bar, no page bar: cells of
  // 250 x 200, buttons of 200 x 160.
  const std::vector<QRectF> r = drinkButtonRects(10, 1000, 700, 100, 0);
  ASSERT_EQ(r.size(), 10u);
  EXPECT_EQ(r[0], QRectF(25, 120, 200, 160));
  EXPECT_EQ(r[7], QRectF(775, 320, 200, 160));
  // Two left over in four columns: the free 500 split in three gaps.
  EXPECT_DOUBLE_EQ(r[8].x(), 500.0 / 3 + 25);
  EXPECT_DOUBLE_EQ(r[9].x(), 1000.0 / 3 + 250 + 25);
  EXPECT_DOUBLE_EQ(r[8].y(), 520);
  for (const QRectF& b : r) EXPECT_TRUE(QRectF(0, 100, 1000, 600).contains(b));
}

TEST(DrinkRefusal, FollowsTheMachineState) {
  const TProduct espresso = drink(3);
  auto usesBeans = [](int n) { return n == 3; };
  struct Case {
    const char* what;
    TDrinkAvailability a;
    QString expected;
  };
  const Case cases[] = {
      {"ready coffee machine", {true, {}, false, false, usesBeans, {}}, {}},
      {"coffee machine with a status",
       {true, QStringLiteral("Нет воды"), false, false, usesBeans, {}},
       QStringLiteral("Напиток недоступен.\r\nНет воды")},
      {"no beans, drink with beans",
       {true, {}, true, false, usesBeans, {}},
       QStringLiteral("Напиток недоступен.\r\nНет зёрен кофе")},
      {"no beans, drink without", {true, {}, true, false, [](int) { return false; }, {}}, {}},
      {"vending machine that cannot sell",
       {false, {}, false, true, {}, [](int) { return false; }},
       QStringLiteral("Напиток недоступен.")},
      {"vending machine that can sell", {false, {}, false, true, {}, [](int) { return true; }}, {}},
      // Without drinks after payment the module is not asked.
      {"drink before payment", {false, {}, false, false, {}, [](int) { return false; }}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(drinkRefusal(espresso, c.a), c.expected) << c.what;
}

namespace {

struct Menu {
  std::vector<TProduct> list;
  int maxPerPage = 10;
  TDrinkAvailability availability;
  QStringList messages;
  int cartShown = 0;
  std::optional<TProduct> scanned;
  QString keys;
  std::unique_ptr<TfmDrink> form;

  explicit Menu(int n) : list(drinks(n)) {
    TDrinkMenuHooks h;
    h.drinks = [this] { return list; };
    h.maxDrinksPerPage = [this] { return maxPerPage; };
    h.availability = [this] { return availability; };
    h.showMessage = [this](const QString& m, int seconds) {
      EXPECT_EQ(seconds, 15);
      messages << m;
    };
    h.showCart = [this] { ++cartShown; };
    h.scannerKeyUp = [this](QKeyEvent* e) { keys += e->text(); };
    h.takeSelectedProduct = [this] {
      auto p = scanned;
      scanned.reset();
      return p;
    };
    form = std::make_unique<TfmDrink>(nullptr, h);
    form->resize(1280, 800);
  }
};

}  // namespace

TEST(DrinkMenuForm, PagesThroughTheDrinks) {
  Menu m(23);
  m.form->show();
  EXPECT_EQ(m.form->pages_count, 3);
  EXPECT_EQ(m.form->drinkCircles.size(), 3u);
  for (TRectangle* dot : m.form->drinkCircles) EXPECT_TRUE(layoutcheck::isDrawnRound(dot));
  struct Step {
    void (TfmDrink::*press)();
    int page, buttons;
    bool prev, next;
  };
  const Step steps[] = {
      {nullptr, 0, 8, false, true},
      {&TfmDrink::btNextMouseDown, 1, 8, true, true},
      {&TfmDrink::btNextMouseDown, 2, 7, true, false},
      {&TfmDrink::btNextMouseDown, 2, 7, true, false},  // no page after the last
      {&TfmDrink::btPrevMouseDown, 1, 8, true, true},
      {&TfmDrink::btPrevMouseDown, 0, 8, false, true},
      {&TfmDrink::btPrevMouseDown, 0, 8, false, true},
  };
  for (const Step& s : steps) {
    if (s.press) (m.form.get()->*s.press)();
    EXPECT_EQ(m.form->page_ind, s.page);
    EXPECT_EQ(int(m.form->drinkButtons.size()), s.buttons) << "page " << s.page;
    EXPECT_EQ(m.form->btPrev->isVisibleTo(m.form.get()), s.prev) << "page " << s.page;
    EXPECT_EQ(m.form->btNext->isVisibleTo(m.form.get()), s.next) << "page " << s.page;
  }
}

TEST(DrinkMenuForm, OnePageHasNoPageBar) {
  Menu m(10);
  m.form->show();
  EXPECT_EQ(m.form->pages_count, 1);
  EXPECT_EQ(m.form->drinkButtons.size(), 10u);
  EXPECT_TRUE(m.form->drinkCircles.empty());
  EXPECT_FALSE(m.form->pnBottom->isVisibleTo(m.form.get()));
}

TEST(DrinkMenuForm, RefusedDrinkKeepsTheMenuOpenAndASecondTouchIsIgnored) {
  Menu m(3);
  m.availability.carimali_machine = true;
  m.availability.carimali_status = QStringLiteral("Кофемашина не готова");
  m.form->show();
  m.form->drinkButtonMouseDown(1);
  EXPECT_EQ(m.messages, QStringList{QStringLiteral("Напиток недоступен.\r\nКофемашина не готова")});
  EXPECT_TRUE(m.form->isVisible());
  EXPECT_FALSE(m.form->ignore_drink_buttons_click);

  m.availability.carimali_status.clear();
  m.form->drinkButtonMouseDown(1);
  m.form->drinkButtonMouseDown(2);  // too late: the first drink was taken
  EXPECT_EQ(m.form->result(), 1);
  EXPECT_EQ(m.form->selected_product.cell, 2);
  EXPECT_EQ(m.cartShown, 1);
}

TEST(DrinkMenuForm, AScanTakesTheScannedProduct) {
  Menu m(3);
  m.form->show();
  QKeyEvent digit(QEvent::KeyRelease, Qt::Key_4, Qt::NoModifier, QStringLiteral("4"));
  QApplication::sendEvent(m.form.get(), &digit);
  EXPECT_TRUE(m.form->isVisible());
  TProduct snack = drink(7);
  snack.isSnack = true;
  m.scanned = snack;
  QKeyEvent enter(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
  QApplication::sendEvent(m.form.get(), &enter);
  EXPECT_EQ(m.keys, QStringLiteral("4\r"));
  EXPECT_EQ(m.form->result(), 1);
  EXPECT_TRUE(m.form->selected_product.isSnack);
  EXPECT_EQ(m.form->selected_product.cell, 7);
  EXPECT_EQ(m.cartShown, 1);
}

TEST(DrinkMenuForm, CloseCancels) {
  Menu m(3);
  m.form->show();
  m.form->btCloseMouseDown();
  EXPECT_EQ(m.form->result(), 2);
  EXPECT_EQ(m.cartShown, 0);
}
