// Text measuring and fitting, and the on-screen keyboard command.

#include <gtest/gtest.h>

#include <QFontMetricsF>
#include <QLabel>
#include <QPushButton>

#include "kiosk/Common.h"
#include "kiosk/TouchButton.h"

namespace {

QLabel* labelWith(const QString& text, double points, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  SetFontSize(l, points);
  return l;
}

}  // namespace

TEST(GuiHelpers, FitFontSizeMakesTheTextAsWideAsTheLimitAllows) {
  QWidget form;
  const struct {
    const char* text;
    double start;
    double limit;
  } cases[] = {
      {"Оплата картой недоступна", 10, 400},          // grows
      {"Оплата картой недоступна", 80, 300},          // shrinks
      {"Первая строка\r\nвторая, длиннее", 20, 350},  // the widest line counts
      {"OK", 30, 120},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    QLabel* l = labelWith(QString::fromUtf8(c.text), c.start, &form);
    FitFontSize(l, c.limit);
    const double size = FontSizeOf(l);
    EXPECT_LE(MeasureTextWidth(l), c.limit);
    SetFontSize(l, size + 1);
    EXPECT_GT(MeasureTextWidth(l), c.limit) << "one point more would still fit at " << size;
    SetFontSize(l, size);
    // An auto-sized label follows its text.
    EXPECT_GE(l->width(), MeasureTextWidth(l) - 1);
  }
}

TEST(GuiHelpers, FitFontSizeEdgeCases) {
  QWidget form;
  // Blank text leaves the font alone.
  QLabel* blank = labelWith(QStringLiteral("   "), 17, &form);
  FitFontSize(blank, 500);
  EXPECT_EQ(FontSizeOf(blank), 17);

  // A text exactly as wide as the limit changes nothing.
  QLabel* exact = labelWith(QStringLiteral("Люмекат № 1234"), 21, &form);
  FitFontSize(exact, MeasureTextWidth(exact));
  EXPECT_EQ(FontSizeOf(exact), 21);

  // No limit is narrow enough to take the font below one point.
  QLabel* narrow = labelWith(QStringLiteral("Техническая поддержка"), 5, &form);
  FitFontSize(narrow, 0.5);
  EXPECT_EQ(FontSizeOf(narrow), 1);

  // 200 steps at most: a huge limit stops growing there.
  QLabel* wide = labelWith(QStringLiteral("."), 10, &form);
  FitFontSize(wide, 1e9);
  EXPECT_EQ(FontSizeOf(wide), 210);
}

// A touch button's label fits its share of the button in both directions,
// so that one glyph fills a close or page button as a word fills a wide one:
// as large as it can be, and one point more would break out of the box.
TEST(GuiHelpers, ATouchButtonsLabelFillsItsShareOfTheButton) {
  const struct {
    const char* text;
    QSize button;
  } cases[] = {
      {"✕", {86, 86}},   // the close cross of a header
      {">", {120, 80}},  // a page button
      {"<", {80, 120}}, {"Банковская карта", {900, 120}}, {"OK", {300, 60}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TTouchButton b(QString::fromUtf8(c.text));
    b.resize(c.button);
    b.fitLabel();
    const QSizeF box = QSizeF(c.button) * TTouchButton::kGlyphShare;
    const QFontMetricsF fm(b.label()->font());
    const QSizeF text = fm.boundingRect(QRectF(0, 0, 3000, 3000), 0, b.label()->text()).size();
    EXPECT_LE(text.width(), box.width());
    EXPECT_LE(text.height(), box.height());
    QFont bigger = b.label()->font();
    bigger.setPointSizeF(bigger.pointSizeF() + 1);
    const QSizeF more =
        QFontMetricsF(bigger).boundingRect(QRectF(0, 0, 3000, 3000), 0, b.label()->text()).size();
    EXPECT_TRUE(more.width() > box.width() || more.height() > box.height())
        << "one point more would still fit at " << FontSizeOf(b.label());
  }
}

TEST(GuiHelpers, MeasuresButtonsAndWrappedLabels) {
  QWidget form;
  QPushButton cancel(QStringLiteral("Отмена"), &form);
  QLabel same(QStringLiteral("Отмена"), &form);
  same.setFont(cancel.font());
  EXPECT_DOUBLE_EQ(MeasureTextWidth(&cancel), MeasureTextWidth(&same));
  EXPECT_GT(MeasureTextWidth(&cancel), 0);

  QLabel wrapped(QStringLiteral("слово слово слово слово слово слово слово слово"), &form);
  wrapped.setWordWrap(true);
  wrapped.resize(120, 40);
  QLabel oneLine(QStringLiteral("слово"), &form);
  oneLine.setFont(wrapped.font());
  EXPECT_GT(MeasureTextHeight(&wrapped), 3 * MeasureTextHeight(&oneLine));
}

TEST(GuiHelpers, OnScreenKeyboardRunsTheConfiguredCommand) {
  const QByteArray saved = qgetenv("VEKTA_OSK_COMMAND");
  const struct {
    const char* command;
    bool started;
  } cases[] = {
      {"true --with-argument", true},
      {"/nonexistent/keyboard", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    qputenv("VEKTA_OSK_COMMAND", c.command);
    EXPECT_EQ(ShowOnScreenKeyboard(), c.started);
  }
  if (saved.isNull())
    qunsetenv("VEKTA_OSK_COMMAND");
  else
    qputenv("VEKTA_OSK_COMMAND", saved);
  HideVirtualKeyboard();  // no platform keyboard offscreen: must simply return
}
