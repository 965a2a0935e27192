// The pay button's logos take turns: the order, the wrap to the first, and
// the fade of each logo as it appears, by the clock alone.

#include <gtest/gtest.h>

#include "screens/PaymentImageCycle.h"

TEST(PaymentImageCycle, TakesTurnsInOrderAndWrapsToTheFirst) {
  const struct {
    int count;
    std::vector<int> turns;  // the logo shown after each tick
  } cases[] = {
      {1, {0, 0}},
      {2, {1, 0, 1}},
      {4, {1, 2, 3, 0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    TPaymentImageCycle cycle(c.count);
    EXPECT_EQ(cycle.cycles(), c.count > 1);
    EXPECT_EQ(cycle.paymentImageInd(), 0);
    int64_t now = 0;
    for (int want : c.turns) {
      now += TPaymentImageCycle::kIntervalMs;
      cycle.next(now);
      EXPECT_EQ(cycle.paymentImageInd(), want);
    }
  }
}

TEST(PaymentImageCycle, EachLogoFadesInOverAFifthOfASecond) {
  TPaymentImageCycle cycle(3);
  // The card's logo is there from the start.
  EXPECT_EQ(cycle.opacity(0), 1);
  cycle.next(10'000);
  const struct {
    int64_t at;
    double opacity;
  } cases[] = {{10'000, 0}, {10'050, 0.25}, {10'100, 0.5}, {10'200, 1}, {11'000, 1}};
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(cycle.opacity(c.at), c.opacity) << c.at;
  // The next logo fades in anew.
  cycle.next(11'500);
  EXPECT_EQ(cycle.opacity(11'500), 0);
}
