// The drawn pictures: each is drawn at any size at its own proportions, and
// a label shows it drawn at the size it is shown at, not a scaled copy.

#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>

#include "kiosk/Common.h"
#include "kiosk/Pictures.h"

namespace {

const struct {
  const char* name;
  TPicture draw;
} kPictures[] = {
    {"logo", logoPicture},
    {"cup", cupPicture},
    {"keypad", keypadPicture},
    {"question", questionPicture},
    {"exclamation", exclamationPicture},
    {"drink", drinkPicture},
    {"plus", plusPicture},
    {"minus", minusPicture},
    {"cross", crossPicture},
    {"bank card", bankCardPicture},
    {"sbp", sbpPicture},
    {"badge", yandexBadgePicture},
    {"identity card", identityCardPicture},
    {"audit", auditPicture},
    {"audit at loading", auditAtLoadingPicture},
    {"refresh", refreshConfigPicture},
    {"close", closeApplicationPicture},
    {"operator form", operatorFormPicture},
};

bool hasInk(const QPixmap& pm) {
  const QImage img = pm.toImage();
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if (qAlpha(img.pixel(x, y)) > 0) return true;
  return false;
}

}  // namespace

TEST(Pictures, EachIsDrawnAsLargeAsItsBoxAllowsAtItsOwnProportions) {
  const QSize boxes[] = {{300, 90}, {90, 300}, {64, 64}, {1000, 1000}};
  for (const auto& p : kPictures) {
    SCOPED_TRACE(p.name);
    const QSize own = p.draw(QSize()).size();
    ASSERT_FALSE(own.isEmpty());
    for (const QSize& box : boxes) {
      SCOPED_TRACE(QStringLiteral("%1×%2").arg(box.width()).arg(box.height()).toStdString());
      const QPixmap pm = p.draw(box);
      EXPECT_LE(pm.width(), box.width());
      EXPECT_LE(pm.height(), box.height());
      // Fitted: it fills the box one way.
      EXPECT_TRUE(pm.width() == box.width() || pm.height() == box.height());
      // Not stretched: each side within a pixel of the picture's proportions.
      const QSizeF exact = QSizeF(own).scaled(QSizeF(pm.size()), Qt::KeepAspectRatio);
      EXPECT_NEAR(pm.width(), exact.width(), 1.0);
      EXPECT_NEAR(pm.height(), exact.height(), 1.0);
      EXPECT_TRUE(hasInk(pm));
    }
  }
}

TEST(Pictures, ALabelShowsItsPictureDrawnAtTheSizeItIsShownAt) {
  QLabel label;
  label.setContentsMargins(5, 5, 5, 5);
  FitPicture(&label, QRectF(10, 20, 210, 110), bankCardPicture);
  EXPECT_EQ(label.geometry(), QRect(10, 20, 210, 110));
  // The label keeps the picture's own size, for a check of its proportions.
  EXPECT_EQ(label.property(kPicture).value<QPixmap>().size(), bankCardPicture().size());
  // Drawn for the room inside the margins, not scaled from another size.
  EXPECT_EQ(label.pixmap().toImage(), bankCardPicture(QSize(200, 100)).toImage());
  // A new box draws it again.
  FitPicture(&label, QRectF(0, 0, 60, 400));
  EXPECT_EQ(label.pixmap().toImage(), bankCardPicture(QSize(50, 390)).toImage());
  // No room, no picture.
  FitPicture(&label, QRectF(0, 0, 8, 8));
  EXPECT_TRUE(label.pixmap().isNull());
}
