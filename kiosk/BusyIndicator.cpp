#include "kiosk/BusyIndicator.h"

#include <QPainter>
#include <QTimerEvent>
#include <algorithm>

TBusyIndicator::TBusyIndicator(QWidget* parent, const char* name)
    : QWidget(parent), color_(0x8B, 0x45, 0x13) {
  setObjectName(QLatin1String(name));
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void TBusyIndicator::setColor(const QColor& c) {
  color_ = c;
  update();
}

QRectF TBusyIndicator::indicatorRect() const {
  const double side = std::min(width(), height());
  return QRectF((width() - side) / 2, (height() - side) / 2, side, side);
}

void TBusyIndicator::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  timer_.start(kFrameMs, Qt::CoarseTimer, this);
}

void TBusyIndicator::hideEvent(QHideEvent* e) {
  timer_.stop();
  QWidget::hideEvent(e);
}

void TBusyIndicator::timerEvent(QTimerEvent* e) {
  if (e->timerId() != timer_.timerId()) return QWidget::timerEvent(e);
  frame_ = (frame_ + 1) % kSpokes;
  update();
}

void TBusyIndicator::paintEvent(QPaintEvent*) {
  const QRectF r = indicatorRect();
  if (r.width() < 4) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(r.center());
  const double side = r.width();
  const double inner = side * 0.22, outer = side * 0.46;
  for (int i = 0; i < kSpokes; ++i) {
    // The spoke of the current frame is solid; those behind it fade out.
    const int behind = (frame_ - i + kSpokes) % kSpokes;
    QColor c = color_;
    c.setAlphaF(std::max(0.15, 1.0 - behind / double(kSpokes)));
    p.setPen(QPen(c, side * 0.08, Qt::SolidLine, Qt::RoundCap));
    p.save();
    p.rotate(360.0 * i / kSpokes);
    p.drawLine(QPointF(0, -inner), QPointF(0, -outer));
    p.restore();
  }
}
