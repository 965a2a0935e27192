#include "platform/TextCodec.h"

#include <gtest/gtest.h>

TEST(TextCodec, RussianRoundTripsThroughBothCodePages) {
  const QString text = QString::fromUtf8("Программа уже запущена. №1");
  EXPECT_EQ(plat::toAnsi(text).at(0), char(0xCF));  // П in windows-1251
  EXPECT_EQ(plat::toOem(text).at(0), char(0x8F));   // П in IBM866
  EXPECT_EQ(plat::fromAnsi(plat::toAnsi(text)), text);
  EXPECT_EQ(plat::fromOem(plat::toOem(text)), text);
}
