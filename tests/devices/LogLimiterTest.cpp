#include <gtest/gtest.h>

#include <QStringList>

#include "devices/LogLimiter.h"
#include "platform/Clock.h"

namespace {

class LogLimiterTest : public ::testing::Test {
 protected:
  void SetUp() override { plat::setClock(&clock); }
  void TearDown() override { plat::setClock(nullptr); }

  plat::ManualClock clock;
  QStringList lines;
  TLogLimiter limiter{[this](const QString& l) { lines << l; }};
};

}  // namespace

TEST_F(LogLimiterTest, ARepeatedLineShowsOnceAMinuteWithItsCount) {
  const QString line = QStringLiteral("Can not read data from COM port (error + 5).");
  for (int i = 0; i < 600; ++i) {  // a failure on every 100-ms pass
    limiter.log(line);
    clock.advance(100);
  }
  EXPECT_EQ(lines, QStringList{line});
  // A minute after it was shown, the next repeat shows with the count.
  limiter.log(line);
  EXPECT_EQ(lines, (QStringList{line, line + " (repeated 600 times)"}));
  limiter.log(line);
  EXPECT_EQ(lines.size(), 2);
}

TEST_F(LogLimiterTest, AnotherLinePassesAtOnceAfterTheCountOfTheOneBefore) {
  limiter.log("A");
  limiter.log("A");
  limiter.log("A");
  limiter.log("B");
  limiter.log("A");
  EXPECT_EQ(lines, (QStringList{"A", "A (repeated 2 times)", "B", "A"}));
}
