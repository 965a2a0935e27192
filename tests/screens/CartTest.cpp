// The cart without widgets: paging by measured heights, totals, the loyalty
// discount and its texts, the pay sequence with the points offer, and the
// idle reset.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>

#include "platform/Exception.h"
#include "screens/Cart.h"

namespace {

TProduct product(bool isSnack, int cell, double price, const QString& name = "Товар") {
  TProduct p;
  p.isSnack = isSnack;
  p.cell = cell;
  p.price = price;
  p.name = name;
  return p;
}

TLoyalityCardInfo card(double percent, double points, double allowed = 0) {
  TLoyalityCardInfo c;
  c.isActive = true;
  c.user.barcode = "7770000000017";
  c.discount.percent = percent;
  c.cashback.existed_summ = points;
  c.cashback.allowed_summ = allowed;
  return c;
}

// A cart with recording hooks; every hook is there so a missing call shows.
struct Fixture {
  TCartSettings settings;
  TLoyalityCardInfo loyalty;
  std::vector<std::pair<int, QString>> events;
  std::vector<double> operationAmounts;
  std::vector<double> offers;
  std::optional<double> offerAnswer;  // what the points dialog returns
  bool terminal = true;
  int cardScreenResult = 1;
  double cardScreenAmount = -1;
  int cardScreens = 0;
  bool methodDialogPays = false;
  int methodDialogs = 0;
  bool deleteAnswer = true;
  std::vector<QString> deleteQuestions;
  qint64 sinceInput = 100000;
  bool resetAnswer = true;
  int resetQuestions = 0;
  bool wasPaid = false;
  TCart cart;

  Fixture() {
    TCartHooks h;
    h.settings = [this] { return settings; };
    h.loyaltyCardInfo = [this]() -> TLoyalityCardInfo& { return loyalty; };
    h.queueEvent = [this](int id, const QString& d) { events.emplace_back(id, d); };
    h.loyalityCardOperation = [this](qint64, const QString&, double amount,
                                     const TProductPositionArray&) {
      operationAmounts.push_back(amount);
      return loyalty;  // the server confirms the card as it is
    };
    h.confirmDelete = [this](const QString& name) {
      deleteQuestions.push_back(name);
      return deleteAnswer;
    };
    h.offerPoints = [this](double allowed) {
      offers.push_back(allowed);
      return offerAnswer;
    };
    h.choosePaymentMethod = [this] {
      ++methodDialogs;
      return methodDialogPays;
    };
    h.runCardScreen = [this] {
      ++cardScreens;
      cardScreenAmount = cart.payment_amount();
      return cardScreenResult;
    };
    h.cardTerminalFound = [this] { return terminal; };
    h.askReset = [this](int) {
      ++resetQuestions;
      return resetAnswer;
    };
    h.msSinceLastInput = [this] { return sinceInput; };
    h.setProductWasPaid = [this] { wasPaid = true; };
    cart.hooks = h;
    cart.countPaymentTypes();
  }
  void add(const TProduct& p) { cart.addProduct(p, QDateTime::currentDateTime()); }
};

TEST(CartTotals, DiscountRoundsToEvenKopeckAndTextsFollow) {
  struct Case {
    const char* name;
    std::vector<double> prices;
    double percent;  // 0: no card discount
    double points;
    double discount;
    const char* caption;
    const char* amountText;
    const char* payText;
  };
  const Case cases[] = {
      {"half kopeck to even (522.5 -> 522)",
       {104.50},
       5,
       0,
       5.22,
       "Скидка по карте лояльности: 5%",
       "Итого: 104,50 ₽  Скидка: 5,22 ₽",
       "Оплатить 99,28 ₽"},
      {"half kopeck to even (523.5 -> 524)",
       {104.70},
       5,
       0,
       5.24,
       "Скидка по карте лояльности: 5%",
       "Итого: 104,70 ₽  Скидка: 5,24 ₽",
       "Оплатить 99,46 ₽"},
      {"no card", {50, 25.5}, 0, 0, 0, "Выбранные товары:", "Итого: 75,50 ₽", "Оплатить"},
      {"points without percent",
       {100},
       0,
       150,
       0,
       "Накоплено баллов: 150",
       "Итого: 100 ₽",
       "Оплатить"},
      {"whole amounts",
       {40, 60},
       10,
       0,
       10,
       "Скидка по карте лояльности: 10%",
       "Итого: 100 ₽  Скидка: 10 ₽",
       "Оплатить 90 ₽"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    if (c.percent > 0 || c.points > 0) f.loyalty = card(c.percent, c.points);
    int cell = 1;
    for (double price : c.prices) f.add(product(true, cell++, price));
    const TCartView& v = f.cart.view();
    EXPECT_DOUBLE_EQ(f.cart.discount, c.discount);
    EXPECT_EQ(v.caption, QString::fromUtf8(c.caption));
    EXPECT_EQ(v.amountText, QString::fromUtf8(c.amountText));
    EXPECT_EQ(v.payText, QString::fromUtf8(c.payText));
    EXPECT_TRUE(v.payEnabled);
    EXPECT_NEAR(f.cart.payment_amount(), f.cart.total_amount - c.discount, 1e-9);
  }
}

// Carts whose rouble total a double cannot hold: summed in roubles, the exact
// half kopeck of the discount lands on either side.
TEST(CartTotals, DiscountIsRoundedFromTheSumInKopecks) {
  struct Line {
    double price;
    int quantity;
  };
  struct Case {
    const char* name;
    std::vector<Line> lines;
    double percent;
    int64_t discountKopecks;
    const char* amountText;
    const char* payText;
  };
  const Case cases[] = {
      {"3 x 12.30 at 5 %",
       {{12.30, 3}},
       5,
       184,
       "Итого: 36,90 ₽  Скидка: 1,84 ₽",
       "Оплатить 35,06 ₽"},
      {"86.95 + 108.90 at 10 %",
       {{86.95, 1}, {108.90, 1}},
       10,
       1958,
       "Итого: 195,85 ₽  Скидка: 19,58 ₽",
       "Оплатить 176,27 ₽"},
      {"48.45 + 93.65 at 5 %",
       {{48.45, 1}, {93.65, 1}},
       5,
       710,
       "Итого: 142,10 ₽  Скидка: 7,10 ₽",
       "Оплатить 135 ₽"},
      {"3 x 11.45 at 10 %",
       {{11.45, 3}},
       10,
       344,
       "Итого: 34,35 ₽  Скидка: 3,44 ₽",
       "Оплатить 30,91 ₽"},
      {"104.50 at 5 %",
       {{104.50, 1}},
       5,
       522,
       "Итого: 104,50 ₽  Скидка: 5,22 ₽",
       "Оплатить 99,28 ₽"},
      {"a percent with a fraction",
       {{100.20, 1}},
       12.5,
       1252,
       "Итого: 100,20 ₽  Скидка: 12,52 ₽",
       "Оплатить 87,68 ₽"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.loyalty = card(c.percent, 0);
    int cell = 1;
    for (const Line& l : c.lines) {
      for (int i = 0; i < l.quantity; ++i) f.add(product(true, cell, l.price));
      ++cell;
    }
    EXPECT_EQ(std::llround(f.cart.discount * 100), c.discountKopecks);
    EXPECT_EQ(f.cart.view().amountText.toStdString(), c.amountText);
    EXPECT_EQ(f.cart.view().payText.toStdString(), c.payText);
  }
}

TEST(CartTotals, CaptionWithoutCardDependsOnLoyaltySystem) {
  Fixture f;
  EXPECT_EQ(f.cart.loyaltyCaption(), "Выбранные товары:");
  f.settings.loyaltySystem_id = 3;
  EXPECT_EQ(f.cart.loyaltyCaption(), "Просканируйте карту лояльности");
}

TEST(CartTotals, CoefficientAndPositions) {
  Fixture f;
  EXPECT_DOUBLE_EQ(f.cart.getDiscountCoeff(), 1.0);  // empty cart
  EXPECT_FALSE(f.cart.refreshProductList().payEnabled);
  f.loyalty = card(10, 0);
  f.add(product(true, 1, 30, "Чипсы"));
  f.add(product(false, 1, 70, "Капучино"));
  f.add(product(true, 1, 30, "Чипсы"));
  EXPECT_DOUBLE_EQ(f.cart.total_amount, 130);
  EXPECT_DOUBLE_EQ(f.cart.getDiscountCoeff(), 117.0 / 130.0);
  const TProductPositionArray pos = f.cart.getProductPositions();
  ASSERT_EQ(pos.size(), 2u);  // a snack and a drink in the same cell are two lines
  EXPECT_EQ(pos[0].product, "Чипсы");
  EXPECT_EQ(pos[0].quantity, 2);
  EXPECT_DOUBLE_EQ(pos[0].price, 30);  // undiscounted unit price
  EXPECT_EQ(pos[1].product, "Капучино");
}

TEST(CartLines, AddAndRemoveQueueTheirEventsAndAskForTheLastUnit) {
  Fixture f;
  const TProduct p = product(true, 5, 45.5, "Батончик");
  f.add(p);
  f.add(p);
  ASSERT_EQ(f.cart.selected_goods.size(), 1u);
  EXPECT_EQ(f.cart.selected_goods[0].quantity, 2);
  EXPECT_EQ(f.events.at(0).second, "Добавление продукта \"Батончик\" в корзину (цена: 45,50 р.)");

  EXPECT_TRUE(f.cart.removeProduct(p, QDateTime::currentDateTime()));
  EXPECT_TRUE(f.deleteQuestions.empty());
  EXPECT_EQ(f.events.back().second, "Удаление продукта \"Батончик\" из корзины (цена: 45,50 р.)");

  f.deleteAnswer = false;
  const size_t before = f.events.size();
  EXPECT_FALSE(f.cart.removeProduct(p, QDateTime::currentDateTime()));
  EXPECT_EQ(f.deleteQuestions, std::vector<QString>{"Батончик"});
  EXPECT_EQ(f.cart.selected_goods.size(), 1u);
  EXPECT_EQ(f.events.size(), before);  // declined: nothing queued

  f.deleteAnswer = true;
  EXPECT_TRUE(f.cart.removeProduct(p, QDateTime::currentDateTime()));
  EXPECT_TRUE(f.cart.selected_goods.empty());
  EXPECT_DOUBLE_EQ(f.cart.total_amount, 0);
  EXPECT_FALSE(f.cart.view().payEnabled);
}

// The removal question is a modal wait: whatever happens to the lines while
// it is open (an idle reset, a scan), the answer applies to the cart as it
// is afterwards, never to a line that may no longer be there.
TEST(CartLines, TheLineIsFoundAgainAfterTheQuestion) {
  const TProduct water = product(true, 5, 60, "Вода");
  const TProduct bar = product(true, 6, 40, "Батончик");
  struct Case {
    const char* name;
    std::function<void(TCart&)> meanwhile;
    bool removed;
    std::vector<std::pair<int, int>> lines;  // cell, quantity afterwards
  };
  const Case cases[] = {
      {"nothing happens", [](TCart&) {}, true, {{6, 1}}},
      {"the cart was reset", [](TCart& c) { c.clear(); }, false, {}},
      {"the line went, others moved up",
       [&](TCart& c) {
         c.clear();
         c.addProduct(bar, QDateTime::currentDateTime());
       },
       false,
       {{6, 1}}},
      {"another unit was scanned",
       [&](TCart& c) { c.addProduct(water, QDateTime::currentDateTime()); },
       true,
       {{5, 1}, {6, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.add(water);
    f.add(bar);
    f.cart.hooks.confirmDelete = [&](const QString&) {
      c.meanwhile(f.cart);
      return true;
    };
    const size_t events = f.events.size();
    EXPECT_EQ(f.cart.removeProduct(water, QDateTime::currentDateTime()), c.removed);
    std::vector<std::pair<int, int>> lines;
    for (const TSelectedGood& g : f.cart.selected_goods)
      lines.emplace_back(g.product.cell, g.quantity);
    EXPECT_EQ(lines, c.lines);
    double total = 0;
    for (const TSelectedGood& g : f.cart.selected_goods) total += g.product.price * g.quantity;
    EXPECT_DOUBLE_EQ(f.cart.total_amount, total);
    // Only a removal that happened is reported.
    const bool reported =
        f.events.size() > events && f.events.back().second.startsWith(QStringLiteral("Удаление"));
    EXPECT_EQ(reported, c.removed);
  }
}

// Lines of measured heights on a list of 100 units with a 10-unit header
// and gaps of 4: a page holds lines while y + h <= 96.
TEST(CartPaging, PagesFollowMeasuredHeights) {
  struct Case {
    const char* name;
    std::vector<double> heights;
    std::vector<int> pages;
  };
  const Case cases[] = {
      {"all fit", {20, 20, 20}, {0, 0, 0}},
      {"exact fit stays", {20, 20, 20, 6}, {0, 0, 0, 0}},  // 14+24+24+24=86, 86+6 <= 96
      {"overflow starts a page", {20, 20, 20, 20}, {0, 0, 0, 1}},
      {"tall wrapped name", {20, 50, 20}, {0, 0, 1}},
      {"line taller than a page keeps its own page", {20, 200, 20}, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.cart.geometry = {10, 4, 100};
    std::map<int, double> heightOfCell;
    for (size_t i = 0; i < c.heights.size(); ++i) heightOfCell[int(i) + 1] = c.heights[i];
    f.cart.lineHeight = [&](TSelectedGood& g) { return heightOfCell.at(g.product.cell); };
    for (size_t i = 0; i < c.heights.size(); ++i) f.add(product(true, int(i) + 1, 10));
    std::vector<int> pages;
    for (const TSelectedGood& g : f.cart.selected_goods) pages.push_back(g.page_ind);
    EXPECT_EQ(pages, c.pages);
    EXPECT_EQ(f.cart.getPagesCount(), c.pages.back() + 1);
    // The view is on the page of the line added last.
    EXPECT_EQ(f.cart.page_ind, c.pages.back());
  }
}

TEST(CartPaging, ButtonsAndJumps) {
  Fixture f;
  f.cart.geometry = {10, 4, 100};
  f.cart.lineHeight = [](TSelectedGood&) { return 20.0; };
  for (int cell = 1; cell <= 3; ++cell) f.add(product(true, cell, 10));
  EXPECT_FALSE(f.cart.view().prevVisible);
  EXPECT_FALSE(f.cart.view().nextVisible);

  f.add(product(true, 4, 10));  // overflows: page 1, shown at once
  EXPECT_EQ(f.cart.page_ind, 1);
  TCartView v = f.cart.view();
  EXPECT_EQ(v.pages, 2);
  EXPECT_TRUE(v.prevVisible && v.prevEnabled);
  EXPECT_TRUE(v.nextVisible);
  EXPECT_FALSE(v.nextEnabled);

  f.cart.prevPage();
  EXPECT_EQ(f.cart.page_ind, 0);
  EXPECT_TRUE(f.cart.view().nextEnabled);
  EXPECT_FALSE(f.cart.view().prevEnabled);
  f.cart.prevPage();
  EXPECT_EQ(f.cart.page_ind, 0);

  // One more unit of a line on page 0 shows page 0.
  f.cart.nextPage();
  f.add(product(true, 1, 10));
  EXPECT_EQ(f.cart.page_ind, 0);

  // Removing the only line of the last page goes back to the new last page.
  f.cart.nextPage();
  EXPECT_EQ(f.cart.page_ind, 1);
  ASSERT_TRUE(f.cart.removeProduct(product(true, 4, 10), QDateTime::currentDateTime()));
  EXPECT_EQ(f.cart.page_ind, 0);
  EXPECT_EQ(f.cart.view().pages, 1);
  EXPECT_FALSE(f.cart.view().nextVisible);

  // Removing a line of page 0 pulls the next page's line up; the view never
  // stays on a page that no longer exists.
  f.add(product(true, 4, 10));
  f.add(product(true, 5, 10));
  ASSERT_EQ(f.cart.page_ind, 1);
  f.cart.selected_goods[0].quantity = 1;
  ASSERT_TRUE(f.cart.removeProduct(product(true, 1, 10), QDateTime::currentDateTime()));
  EXPECT_EQ(f.cart.selected_goods[2].product.cell, 4);
  EXPECT_EQ(f.cart.selected_goods[2].page_ind, 0);
  EXPECT_LT(f.cart.page_ind, f.cart.getPagesCount());
}

// The page dots between the page buttons: where the room the screen's
// proportions leave holds them, they stay as placed; where it does not, the
// next-page button moves just far enough, and only past its limit do the
// dots get smaller. Neighbours never come closer than the pitch.
TEST(CartPaging, PageDotsGetTheRoomTheyNeed) {
  struct Case {
    const char* name;
    int pages;
    double prevRight, nextLeft, limit, diameter;
    double wantNextLeft, wantDiameter;
    std::vector<double> centres;
  };
  const Case cases[] = {
      {"one page", 1, 100, 400, 1000, 15, 400, 15, {}},
      {"room enough", 3, 100, 400, 1000, 15, 400, 15, {175, 250, 325}},
      {"two in a narrow gap", 2, 133, 166, 1000, 15, 200.5, 15, {155.5, 178}},
      {"three in a narrow gap", 3, 133, 166, 1000, 15, 223, 15, {155.5, 178, 200.5}},
      {"as far as the limit",
       10,
       0,
       30,
       110,
       15,
       110,
       10 / 1.5,
       {10, 20, 30, 40, 50, 60, 70, 80, 90, 100}},
      {"a limit left of the button's own place", 3, 0, 30, 10, 15, 30, 7.5 / 1.5, {7.5, 15, 22.5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TPageDots d = TPageDots::place(c.pages, c.prevRight, c.nextLeft, c.limit, c.diameter);
    EXPECT_DOUBLE_EQ(d.nextLeft, c.wantNextLeft);
    EXPECT_DOUBLE_EQ(d.diameter, c.wantDiameter);
    ASSERT_EQ(d.centres.size(), c.centres.size());
    for (size_t i = 0; i < c.centres.size(); ++i) EXPECT_DOUBLE_EQ(d.centres[i], c.centres[i]);
  }
}

TEST(CartPay, MethodsAndCardRefusals) {
  {
    SCOPED_TRACE("only the card: straight to the card screen");
    Fixture f;
    f.add(product(true, 1, 80));
    EXPECT_EQ(f.cart.pay(), TCart::TPayResult::Paid);
    EXPECT_EQ(f.methodDialogs, 0);
    EXPECT_EQ(f.cardScreens, 1);
    EXPECT_TRUE(f.cart.selected_goods.empty());
    EXPECT_TRUE(f.wasPaid);
  }
  {
    SCOPED_TRACE("two methods: the dialog");
    Fixture f;
    f.settings.sbp_enabled = true;
    f.cart.countPaymentTypes();
    EXPECT_EQ(f.cart.payment_type_cnt, 2);
    f.add(product(true, 1, 80));
    EXPECT_EQ(f.cart.pay(), TCart::TPayResult::NotPaid);
    EXPECT_EQ(f.methodDialogs, 1);
    EXPECT_EQ(f.cart.selected_goods.size(), 1u);  // backing out keeps the cart
    EXPECT_FALSE(f.wasPaid);
  }
  {
    SCOPED_TRACE("no terminal");
    Fixture f;
    f.terminal = false;
    f.add(product(true, 1, 80));
    try {
      f.cart.pay();
      FAIL() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.message(), "Оплата картой недоступна");
    }
    EXPECT_EQ(f.cardScreens, 0);
    EXPECT_EQ(f.cart.selected_goods.size(), 1u);
  }
  {
    SCOPED_TRACE("declined card payment keeps the cart and the card");
    Fixture f;
    f.loyalty = card(5, 0);
    f.cardScreenResult = 2;
    f.add(product(true, 1, 80));
    EXPECT_EQ(f.cart.pay(), TCart::TPayResult::NotPaid);
    EXPECT_EQ(f.cart.selected_goods.size(), 1u);
    EXPECT_TRUE(f.loyalty.isActive);
  }
  {
    SCOPED_TRACE("empty cart");
    Fixture f;
    EXPECT_EQ(f.cart.pay(), TCart::TPayResult::Empty);
    EXPECT_EQ(f.cardScreens, 0);
  }
}

TEST(CartPay, AmountOfZeroNeverReachesTheTerminal) {
  Fixture f;
  f.loyalty = card(100, 0);  // a full discount
  f.add(product(true, 1, 80));
  ASSERT_DOUBLE_EQ(f.cart.payment_amount(), 0);
  EXPECT_THROW(f.cart.pay(), Exception);
  EXPECT_EQ(f.cardScreens, 0);
}

TEST(CartPoints, OfferWriteOffAndAmounts) {
  Fixture f;
  f.loyalty = card(10, 150, 50);
  f.offerAnswer = 50.0;
  f.add(product(true, 1, 200));
  // Total 200, discount 20.
  EXPECT_EQ(f.cart.pay(), TCart::TPayResult::Paid);
  EXPECT_EQ(f.operationAmounts, std::vector<double>{180});
  EXPECT_EQ(f.offers, std::vector<double>{50});
  EXPECT_DOUBLE_EQ(f.cardScreenAmount, 130);  // 200 - 20 - 50
  EXPECT_FALSE(f.loyalty.isActive);           // the sale ended
}

TEST(CartPoints, BackToCartFromTheOffer) {
  Fixture f;
  f.loyalty = card(0, 150, 50);
  f.offerAnswer = std::nullopt;
  f.add(product(true, 1, 200));
  EXPECT_EQ(f.cart.pay(), TCart::TPayResult::BackToCart);
  EXPECT_EQ(f.cardScreens, 0);
  EXPECT_DOUBLE_EQ(f.cart.cashback, 0);
}

// Backing out of the method dialog and pressing "Оплатить" again, with and
// without a change of the cart in between: the points are written off once,
// and the operation always describes the amount before the points.
TEST(CartPoints, SecondPressNeverWritesOffTwice) {
  struct Case {
    const char* name;
    std::optional<double> firstAnswer;  // 50 written off, 0 declined
    bool changeCart;                    // between the presses (paging too)
    std::vector<double> operations;
    std::vector<double> offers;
    double cashbackAfter;
  };
  const Case cases[] = {
      {"written off, only a page turned", 50.0, false, {200}, {50}, 50},
      {"written off, cart grew", 50.0, true, {200, 300}, {50}, 50},
      {"declined, unchanged", 0.0, false, {200, 200}, {50, 50}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.settings.sbp_enabled = true;  // the dialog, which the customer leaves
    f.cart.countPaymentTypes();
    f.loyalty = card(0, 150, 50);
    f.offerAnswer = c.firstAnswer;
    f.add(product(true, 1, 200));
    ASSERT_EQ(f.cart.pay(), TCart::TPayResult::NotPaid);
    f.cart.refreshProductList();  // what a page button does
    if (c.changeCart) f.add(product(true, 2, 100));
    ASSERT_EQ(f.cart.pay(), TCart::TPayResult::NotPaid);
    EXPECT_EQ(f.operationAmounts, c.operations);
    EXPECT_EQ(f.offers, c.offers);
    EXPECT_DOUBLE_EQ(f.cart.cashback, c.cashbackAfter);
    EXPECT_DOUBLE_EQ(f.cart.pointsWrittenOff(), c.cashbackAfter);
    EXPECT_DOUBLE_EQ(f.cart.payment_amount(), f.cart.total_amount - c.cashbackAfter);
  }
}

// Points written off are gone on the back office, so the amount left to pay
// must stay payable: the offer leaves at least the smallest payable sum, and
// a removal that would leave nothing to pay is refused.
TEST(CartPoints, OfferNeverLeavesTheCartUnpayable) {
  struct Case {
    const char* name;
    double allowed;  // the back office's allowance
    double percent;  // the card's discount
    std::vector<double> prices;
    double offered;  // 0: no offer
  };
  const Case cases[] = {
      {"allowance below the amount", 50, 0, {100}, 50},
      {"allowance of the whole amount", 100, 0, {100}, 99.99},
      {"allowance above the amount", 500, 0, {60, 40}, 99.99},
      {"after the discount", 100, 10, {100}, 89.99},
      {"allowance with a fraction of a kopeck", 30.005, 0, {100}, 30},
      {"a kopeck to pay leaves nothing to offer", 5, 0, {0.01}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.loyalty = card(c.percent, 1000, c.allowed);
    f.offerAnswer = 1e9;  // whatever the dialog returns, never more than offered
    int cell = 1;
    for (double price : c.prices) f.add(product(true, cell++, price));
    EXPECT_EQ(f.cart.pay(), TCart::TPayResult::Paid);
    if (c.offered > 0) {
      ASSERT_EQ(f.offers.size(), 1u);
      EXPECT_DOUBLE_EQ(f.offers[0], c.offered);
    } else {
      EXPECT_TRUE(f.offers.empty());
    }
    EXPECT_GE(f.cardScreenAmount, TCart::kSmallestPayableAmount - 1e-9);
  }
}

TEST(CartPoints, RemovalThatWouldLeaveNothingToPayIsRefused) {
  struct Case {
    const char* name;
    double percent;
    std::vector<std::pair<double, int>> lines;  // price, quantity
    double writtenOff;
    int removeCell;
    bool refused;
  };
  const Case cases[] = {
      {"50 points, the 60 of 100 removed", 0, {{60, 1}, {40, 1}}, 50, 1, true},
      {"50 points, the 40 of 100 removed", 0, {{60, 1}, {40, 1}}, 50, 2, false},
      {"removal to exactly nothing", 0, {{60, 1}, {40, 1}}, 60, 2, true},
      {"one unit of two", 0, {{50, 2}}, 60, 1, true},
      {"one unit of two, enough left", 0, {{50, 2}}, 40, 1, false},
      {"after the card's discount", 10, {{50, 1}, {50, 1}}, 45, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.settings.sbp_enabled = true;  // the method dialog, which the customer leaves
    f.cart.countPaymentTypes();
    f.loyalty = card(c.percent, 1000, c.writtenOff);
    f.offerAnswer = c.writtenOff;
    int cell = 1;
    for (const auto& [price, quantity] : c.lines) {
      for (int i = 0; i < quantity; ++i) f.add(product(true, cell, price));
      ++cell;
    }
    ASSERT_EQ(f.cart.pay(), TCart::TPayResult::NotPaid);
    ASSERT_DOUBLE_EQ(f.cart.pointsWrittenOff(), c.writtenOff);
    const double before = f.cart.payment_amount();
    const TProduct removed = f.cart.selected_goods[size_t(c.removeCell - 1)].product;
    if (c.refused) {
      try {
        f.cart.removeProduct(removed, QDateTime::currentDateTime());
        FAIL() << "the removal went through";
      } catch (const Exception& e) {
        EXPECT_EQ(e.message(), QString::fromUtf8(TCart::kRemovalRefused));
      }
      EXPECT_DOUBLE_EQ(f.cart.payment_amount(), before);
      EXPECT_TRUE(f.deleteQuestions.empty()) << "refused before asking";
    } else {
      EXPECT_TRUE(f.cart.removeProduct(removed, QDateTime::currentDateTime()));
    }
    EXPECT_GT(f.cart.payment_amount(), 0);
  }
}

TEST(CartIdle, CountdownPaths) {
  struct Case {
    const char* name;
    qint64 sinceInput;
    bool answer;  // OK or the countdown ran out / "Отмена"
    TCart::TIdleResult result;
    int questions;
    bool linesLeft;
    bool cardActive;
  };
  const Case cases[] = {
      {"touch within 3 s postpones", 2999, true, TCart::TIdleResult::Postponed, 0, true, true},
      {"countdown ran out", 3000, true, TCart::TIdleResult::Reset, 1, false, false},
      {"Отмена keeps the cart", 60000, false, TCart::TIdleResult::Resumed, 1, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.settings.vekta_recycle_reset_delay = 15;
    f.loyalty = card(5, 0);
    f.add(product(true, 1, 10));
    f.sinceInput = c.sinceInput;
    f.resetAnswer = c.answer;
    EXPECT_EQ(f.cart.idleTimeout(), c.result);
    EXPECT_EQ(f.resetQuestions, c.questions);
    EXPECT_EQ(!f.cart.selected_goods.empty(), c.linesLeft);
    EXPECT_EQ(f.loyalty.isActive, c.cardActive);
  }
}

TEST(CartIdle, CloseAsksOnlyWhileLinesRemain) {
  Fixture f;
  f.loyalty = card(5, 0);
  EXPECT_TRUE(f.cart.closeQuery());  // empty: no question
  EXPECT_EQ(f.resetQuestions, 0);
  EXPECT_FALSE(f.loyalty.isActive);

  f.loyalty = card(5, 0);
  f.add(product(true, 1, 10));
  f.resetAnswer = false;
  EXPECT_FALSE(f.cart.closeQuery());
  EXPECT_TRUE(f.loyalty.isActive);
  f.resetAnswer = true;
  EXPECT_TRUE(f.cart.closeQuery());
  EXPECT_EQ(f.resetQuestions, 2);
  EXPECT_FALSE(f.loyalty.isActive);
}

}  // namespace
