#include "kiosk/TouchButton.h"

#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QMetaMethod>
#include <QMouseEvent>
#include <QPainter>
#include <cmath>

#include "kiosk/Common.h"

TRectangle::TRectangle(QWidget* parent) : QWidget(parent) {}

void TRectangle::setFillColor(const QColor& c) {
  fill_ = c;
  update();
}

void TRectangle::setStroke(const QColor& color, double thickness, Qt::Edges sides) {
  stroke_ = color;
  strokeThickness_ = thickness;
  strokeSides_ = sides;
  update();
}

bool TRectangle::isTouchTarget() const {
  return isSignalConnected(QMetaMethod::fromSignal(&TRectangle::mouseDown)) ||
         isSignalConnected(QMetaMethod::fromSignal(&TRectangle::clicked));
}

void TRectangle::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), fill_);
  if (strokeThickness_ <= 0 || !strokeSides_) return;
  const double t = strokeThickness_;
  const QRectF r = QRectF(rect());
  if (strokeSides_ & Qt::TopEdge) p.fillRect(QRectF(0, 0, r.width(), t), stroke_);
  if (strokeSides_ & Qt::BottomEdge) p.fillRect(QRectF(0, r.height() - t, r.width(), t), stroke_);
  if (strokeSides_ & Qt::LeftEdge) p.fillRect(QRectF(0, 0, t, r.height()), stroke_);
  if (strokeSides_ & Qt::RightEdge) p.fillRect(QRectF(r.width() - t, 0, t, r.height()), stroke_);
}

void TCircle::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const double t = strokeSides() ? strokeThickness() : 0;
  // The outline lies inside the box, as a rectangle's stroke does.
  const QRectF r = QRectF(rect()).adjusted(t / 2, t / 2, -t / 2, -t / 2);
  p.setBrush(fillColor());
  if (t > 0)
    p.setPen(QPen(strokeColor(), t));
  else
    p.setPen(Qt::NoPen);
  p.drawEllipse(r);
}

void TRectangle::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QWidget::mousePressEvent(e);
  pressed_ = true;
  emit mouseDown();
}

void TRectangle::mouseReleaseEvent(QMouseEvent* e) {
  const bool wasPressed = pressed_;
  pressed_ = false;
  if (e->button() == Qt::LeftButton && wasPressed && rect().contains(e->position().toPoint()))
    emit clicked();
}

TTouchButton* MakePictureButton(const QString& text, TPicture picture, QWidget* parent,
                                const char* name, const char* image, const char* label) {
  auto* b = new TTouchButton(text, parent);
  b->setObjectName(QLatin1String(name));
  b->setPicture(picture);
  b->image()->setObjectName(QLatin1String(image));
  b->label()->setObjectName(QLatin1String(label));
  return b;
}

QGraphicsDropShadowEffect* MakeShadow(QObject* parent, double distance) {
  auto* s = new QGraphicsDropShadowEffect(parent);
  // Down and to the right (direction 45 degrees), soft, black at 60 %.
  const double d = distance * std::sqrt(0.5);
  s->setOffset(d, d);
  s->setBlurRadius(distance * 3);
  s->setColor(QColor(0, 0, 0, 153));
  return s;
}

TTouchButton::TTouchButton(const QString& text, QWidget* parent)
    : TRectangle(parent), label_(new QLabel(text, this)), image_(new QLabel(this)) {
  setFillColor(Qt::white);
  setStroke(QColor(0x8B, 0x45, 0x13), 4,
            Qt::TopEdge | Qt::BottomEdge | Qt::LeftEdge | Qt::RightEdge);
  label_->setAlignment(Qt::AlignCenter);
  label_->setProperty(kFixedGeometry, true);
  label_->setAttribute(Qt::WA_TransparentForMouseEvents);
  image_->setAttribute(Qt::WA_TransparentForMouseEvents);
  image_->hide();
  shadow_ = MakeShadow(this, 10);
  setGraphicsEffect(shadow_);
}

void TTouchButton::setPicture(TPicture picture) {
  picture_ = picture;
  SetPicture(image_, picture);
  image_->setVisible(picture != nullptr);
  layoutChildren();
}

void TTouchButton::setImageGeometry(const QRectF& rect) {
  imageRect_ = rect;
  layoutChildren();
}

void TTouchButton::fitLabel(double share) {
  layoutChildren();
  FitFontSizeToBox(label_, QSizeF(label_->size()) * share);
}

void TTouchButton::resizeEvent(QResizeEvent*) {
  layoutChildren();
}

void TTouchButton::layoutChildren() {
  QRectF labelRect(QPointF(0, 0), QSizeF(size()));
  if (picture_) {
    // Without an explicit place the picture is a square on the left.
    QRectF r = imageRect_.isEmpty() ? QRectF(0, 0, height(), height()) : imageRect_;
    FitPicture(image_, r);
    // A picture at the top (portrait screens) leaves the label the space below.
    if (r.width() >= width() - 1)
      labelRect.setTop(r.bottom());
    else
      labelRect.setLeft(r.right());
  }
  label_->setGeometry(labelRect.toRect());
}
