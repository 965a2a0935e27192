#pragma once
// Rectangles of the touch screens: panels, strips and the "rectangle used as
// a button" that every screen is built from.

#include <QColor>
#include <QWidget>

#include "kiosk/Common.h"

class QGraphicsDropShadowEffect;
class QLabel;

// A filled rectangle with an optional stroke on some of its sides.
// Opacity of the fill comes from the colour's alpha.
class TRectangle : public QWidget {
  Q_OBJECT
 public:
  explicit TRectangle(QWidget* parent = nullptr);

  QColor fillColor() const { return fill_; }
  void setFillColor(const QColor& c);
  void setStroke(const QColor& color, double thickness, Qt::Edges sides);
  // The stroke lies inside the rectangle, where its children are drawn over it.
  double strokeThickness() const { return strokeThickness_; }
  QColor strokeColor() const { return stroke_; }
  Qt::Edges strokeSides() const { return strokeSides_; }
  // The text a touch press reports when the button has no label (the
  // framework's hint; never shown as a tool tip on a kiosk).
  QString hint() const { return hint_; }
  void setHint(const QString& h) { hint_ = h; }
  // Something acts on a touch of this rectangle: it is a button to a finger.
  bool isTouchTarget() const;

 signals:
  // A finger went down on the rectangle: the screens act on touch, not release.
  void mouseDown();
  // Released inside after a press.
  void clicked();

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  QColor fill_{Qt::white};
  QColor stroke_{Qt::gray};
  double strokeThickness_ = 0;
  Qt::Edges strokeSides_;
  QString hint_;
  bool pressed_ = false;
};

// A page dot: a circle in the rectangle's box, filled with the fill colour
// and outlined with the stroke (drawn all round whichever sides are set).
class TCircle : public TRectangle {
  Q_OBJECT
 public:
  using TRectangle::TRectangle;

 protected:
  void paintEvent(QPaintEvent*) override;
};

// A rectangle used as a button: white with a coloured border, a centred
// label, an optional picture on the left, and a drop shadow.
class TTouchButton : public TRectangle {
  Q_OBJECT
 public:
  explicit TTouchButton(const QString& text, QWidget* parent = nullptr);

  QLabel* label() const { return label_; }
  QLabel* image() const { return image_; }
  QGraphicsDropShadowEffect* shadow() const { return shadow_; }
  // A picture, drawn to fit its place (null hides it): by default a square
  // on the left. The label fills the rest: the space right of a picture on
  // the left, below one that spans the button's width.
  void setPicture(TPicture picture);
  void setImageGeometry(const QRectF& rect);
  // Fits the label's font to share of the label's box, in width and in
  // height: a glyph button ("✕", ">") gets a glyph that fills it.
  void fitLabel(double share = kGlyphShare);
  static constexpr double kGlyphShare = 0.6;

 protected:
  void resizeEvent(QResizeEvent*) override;

 private:
  void layoutChildren();

  QLabel* label_;
  QLabel* image_;
  QGraphicsDropShadowEffect* shadow_;
  TPicture picture_ = nullptr;
  QRectF imageRect_;
};

// A touch button with its picture. The button, its picture and its label go
// by the names given: the names the screens' layout rules use.
TTouchButton* MakePictureButton(const QString& text, TPicture picture, QWidget* parent,
                                const char* name, const char* image, const char* label);

// A drop shadow as the screens use it under buttons.
QGraphicsDropShadowEffect* MakeShadow(QObject* parent, double distance);
