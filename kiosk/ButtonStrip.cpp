#include "kiosk/ButtonStrip.h"

#include <QGraphicsDropShadowEffect>
#include <QPushButton>

#include "kiosk/Common.h"
#include "kiosk/FormServices.h"
#include "kiosk/Main.h"
#include "kiosk/TouchButton.h"

TRectangle* createButtonStrip(QWidget* parent) {
  auto* strip = new TRectangle(parent);
  strip->setFillColor(QColor(0xDE, 0xB8, 0x87));
  strip->setStroke(Qt::gray, 1, Qt::TopEdge);
  return strip;
}

QPushButton* stripButton(const QString& text, bool bold, QWidget* parent, const char* name) {
  auto* b = new QPushButton(text, parent);
  if (name) b->setObjectName(QLatin1String(name));
  QFont f = b->font();
  f.setPointSizeF(30);
  f.setBold(bold);
  b->setFont(f);
  b->setAutoDefault(false);
  b->setDefault(false);
  b->setFocusPolicy(Qt::NoFocus);
  b->setGraphicsEffect(MakeShadow(b, 3));
  return b;
}

void placeOkCancelButtons(QWidget* btOK, QWidget* btCancel) {
  placeOkCancelButtons(btOK, btCancel, ScreenSize().width());
}

void placeOkCancelButtons(QWidget* btOK, QWidget* btCancel, double right) {
  if (fmMain) {
    fmMain->setFontSizeAndPositionForOkCancelButtons(btOK, btCancel, right);
  } else {
    TFormServices services;
    services.setFontSizeAndPositionForOkCancelButtons(btOK, btCancel, right);
  }
}
