// The barcode keypad: the keys, the search by typed digits over the snacks'
// barcode lists, what the result area shows, and the pick of a result.

#include <gtest/gtest.h>

#include <QLabel>

#include "kiosk/TouchButton.h"
#include "screens/BarcodeKeypad.h"

namespace {

TProduct snack(int cell, const QString& codes) {
  TProduct p;
  p.isSnack = true;
  p.cell = cell;
  p.name = QStringLiteral("Товар %1").arg(cell);
  p.barCodes = normalizeBarcodes(codes);
  return p;
}

TBarcodeSearch typed(const QString& digits) {
  TBarcodeSearch s;
  for (QChar c : digits) s.key(QString(c));
  return s;
}

}  // namespace

TEST(BarcodeSearch, KeysEditTheDigits) {
  struct Case {
    QStringList keys;
    QString expected;
  };
  const Case cases[] = {
      {{"1", "2", "3"}, "123"}, {{"1", "2", "←"}, "1"},
      {{"←", "←", "5"}, "5"},  // deleting nothing is harmless
      {{"1", "2", "C"}, ""},    {{"1", "C", "0", "7"}, "07"},
  };
  for (const Case& c : cases) {
    TBarcodeSearch s;
    for (const QString& k : c.keys) s.key(k);
    EXPECT_EQ(s.barcode, c.expected) << c.keys.join(',').toStdString();
  }
}

TEST(BarcodeSearch, FindsTypedDigitsInAnyBarcodeOfASnack) {
  const std::vector<TProduct> snacks = {
      snack(1, "4601234567890"),
      snack(2, "111;4609999567890"),  // the second code matches
      snack(3, "2000000000017"),
      snack(4, ""),
  };
  struct Case {
    QString digits;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {"67890", {0, 1}},  // last digits
      {"460", {0, 1}},    // any part
      {"111", {1}},      {"0017", {2}}, {"12345678901234", {}}, {"", {}},
  };
  for (const Case& c : cases) {
    TBarcodeSearch s;
    s.barcode = c.digits;
    s.findGoods(snacks);
    EXPECT_EQ(s.snack_indexes, c.expected) << c.digits.toStdString();
  }
}

TEST(BarcodeSearch, ShowsButtonsOnlyForUpToFiveMatches) {
  std::vector<TProduct> snacks;
  for (int i = 0; i < 6; ++i)
    snacks.push_back(snack(i, QStringLiteral("460%1%2").arg(i % 2).arg(i)));
  struct Case {
    QString digits;
    TBarcodeSearch::TState state;
    QString text;
    int buttons;
  };
  const Case cases[] = {
      {"", TBarcodeSearch::TState::Prompt, "Найденные товары", 0},
      {"9", TBarcodeSearch::TState::NotFound, "Товары не найдены", 0},
      {"46", TBarcodeSearch::TState::TooMany, "Найдено товаров: 6", 0},
      {"460", TBarcodeSearch::TState::TooMany, "Найдено товаров: 6", 0},
      // One more digit narrows six to the three with a 1.
      {"4601", TBarcodeSearch::TState::Buttons, "", 3},
      {"46015", TBarcodeSearch::TState::Buttons, "", 1},
  };
  for (const Case& c : cases) {
    TBarcodeSearch s = typed(c.digits);
    s.findGoods(snacks);
    const TBarcodeSearch::TView v = s.view();
    EXPECT_EQ(v.state, c.state) << c.digits.toStdString();
    EXPECT_EQ(v.goodsText, c.text) << c.digits.toStdString();
    EXPECT_EQ(v.buttons, c.buttons) << c.digits.toStdString();
  }
}

TEST(BarcodeKeypadForm, PicksTheSnackOfTheResultButton) {
  std::vector<TProduct> snacks = {snack(1, "4601111"), snack(2, "4602222"), snack(3, "4603333"),
                                  snack(4, "4604333")};
  TfmBarcode form(nullptr, [&] { return snacks; });
  form.resize(1280, 800);
  form.show();
  EXPECT_EQ(form.lbGoods->text(), QStringLiteral("Найденные товары"));
  for (const char* k : {"3", "3", "3"}) form.keyClick(QString::fromLatin1(k));
  form.tbBarcodeTimer();
  EXPECT_EQ(form.lbBarcode->text(), QStringLiteral("333"));
  EXPECT_FALSE(form.lbGoods->isVisibleTo(&form));
  ASSERT_EQ(form.goodsButtons.size(), 5u);
  EXPECT_TRUE(form.goodsButtons[0]->isVisibleTo(&form));
  EXPECT_TRUE(form.goodsButtons[1]->isVisibleTo(&form));
  EXPECT_FALSE(form.goodsButtons[2]->isVisibleTo(&form));
  EXPECT_EQ(form.goodsButtons[1]->label()->text(), QStringLiteral("Товар 4"));

  form.goodsButtonClick(3);  // hidden: nothing happens
  EXPECT_TRUE(form.isVisible());
  form.goodsButtonClick(2);
  EXPECT_EQ(form.result(), 1);
  EXPECT_EQ(form.selected_product.cell, 4);
}

TEST(BarcodeKeypadForm, ClearKeyBringsBackThePrompt) {
  std::vector<TProduct> snacks = {snack(1, "4601111")};
  TfmBarcode form(nullptr, [&] { return snacks; });
  form.resize(1280, 800);
  form.show();
  form.keyClick(QStringLiteral("1"));
  form.tbBarcodeTimer();
  EXPECT_TRUE(form.goodsButtons[0]->isVisibleTo(&form));
  form.keyClick(QStringLiteral("C"));
  form.tbBarcodeTimer();
  EXPECT_EQ(form.lbBarcode->text(), QStringLiteral("Введите несколько последних цифр штрих-кода"));
  EXPECT_EQ(form.lbGoods->text(), QStringLiteral("Найденные товары"));
  EXPECT_TRUE(form.lbGoods->isVisibleTo(&form));
  EXPECT_FALSE(form.goodsButtons[0]->isVisibleTo(&form));
  form.btCloseMouseDown();
  EXPECT_EQ(form.result(), 2);
}
