// The busy indicator turns only while it shows, and draws its spokes over the
// whole square it is given, centred in its box.

#include <gtest/gtest.h>

#include <QImage>
#include <QTest>
#include <QWidget>

#include "kiosk/BusyIndicator.h"

TEST(BusyIndicator, TurnsOnlyWhileItShows) {
  QWidget window;
  window.resize(300, 300);
  auto* indicator = new TBusyIndicator(&window);
  indicator->setGeometry(0, 0, 100, 100);
  EXPECT_FALSE(indicator->isSpinning()) << "before the screen shows";
  window.show();
  EXPECT_TRUE(indicator->isSpinning());
  const int first = indicator->frame();
  EXPECT_TRUE(QTest::qWaitFor([&] { return indicator->frame() != first; }, 2000))
      << "shows but does not turn";
  indicator->hide();
  EXPECT_FALSE(indicator->isSpinning()) << "hidden itself";
  indicator->show();
  EXPECT_TRUE(indicator->isSpinning());
  window.hide();
  EXPECT_FALSE(indicator->isSpinning()) << "its screen hidden";
}

TEST(BusyIndicator, FillsTheSquareCentredInItsBox) {
  const struct {
    QSize box;
    QRect square;
  } cases[] = {
      {{200, 200}, {0, 0, 200, 200}},
      {{400, 100}, {150, 0, 100, 100}},  // a wide box: the square in the middle
      {{60, 300}, {0, 120, 60, 60}},
  };
  for (const auto& c : cases) {
    TBusyIndicator indicator;
    indicator.resize(c.box);
    indicator.setColor(Qt::black);
    QImage img(c.box, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    indicator.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);  // no window background
    QRect drawn;
    for (int y = 0; y < img.height(); ++y)
      for (int x = 0; x < img.width(); ++x)
        if (qAlpha(img.pixel(x, y)) > 0) drawn |= QRect(x, y, 1, 1);
    // The spokes reach the square's edges on all four sides, within a few
    // pixels of antialiasing and round caps.
    const int slack = std::max(3, c.square.width() / 20);
    EXPECT_LE(std::abs(drawn.left() - c.square.left()), slack)
        << c.box.width() << "×" << c.box.height();
    EXPECT_LE(std::abs(drawn.right() - c.square.right()), slack);
    EXPECT_LE(std::abs(drawn.top() - c.square.top()), slack);
    EXPECT_LE(std::abs(drawn.bottom() - c.square.bottom()), slack);
  }
}
