#include "platform/TextCodec.h"

#include <gtest/gtest.h>

TEST(TextCodec, RussianRoundTripsThroughBothCodePages) {
  const QString text = QString::fromUtf8("Программа уже запущена. №1");
  EXPECT_EQ(plat::toAnsi(text).at(0), char(0xCF));  // П in windows-1251
  EXPECT_EQ(plat::toOem(text).at(0), char(0x8F));   // П in IBM866
  EXPECT_EQ(plat::fromAnsi(plat::toAnsi(text)), text);
  EXPECT_EQ(plat::fromOem(plat::toOem(text)), text);
}

// A character the code page lacks becomes "?", never the control character
// ICU puts in its place (SUB, DEL) that the back office would store in its
// logs; a control character of the text itself goes through unchanged.
TEST(TextCodec, CharactersTheCodePageLacksBecomeQuestionMarks) {
  struct Case {
    const char* utf8;
    QByteArray ansi;
    QByteArray oem;
  };
  const Case cases[] = {
      {"Оплатить 170,10 ₽", QByteArray("\xCE\xEF\xEB\xE0\xF2\xE8\xF2\xFC 170,10 ?"),
       QByteArray("\x8E\xAF\xAB\xA0\xE2\xA8\xE2\xEC 170,10 ?")},
      {"a😀b", "a?b", "a?b"},  // one character outside the basic plane, one "?"
      {"✕№✕", "?\xB9?", "?\xFC?"},
  };
  for (const Case& c : cases) {
    const QString text = QString::fromUtf8(c.utf8);
    EXPECT_EQ(plat::toAnsi(text), c.ansi) << c.utf8;
    EXPECT_EQ(plat::toOem(text), c.oem) << c.utf8;
  }
  const QString controls = QStringLiteral("\x1A\x7F\t");
  EXPECT_EQ(plat::fromAnsi(plat::toAnsi(controls)), controls);
  EXPECT_EQ(plat::fromOem(plat::toOem(controls)), controls);
}
