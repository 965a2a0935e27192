#pragma once
// The spinning busy indicator of the kiosk's waiting screens (a QR code being
// made, a check being registered, a drink being prepared, the terminal's
// reconciliation). It draws a ring of spokes in the largest square that fits
// its geometry, centred, and turns while it is shown. Its timer runs only
// while the widget is visible, so a kiosk that waits for customers spends no
// time on hidden indicators.

#include <QBasicTimer>
#include <QColor>
#include <QWidget>

class TBusyIndicator : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kSpokes = 12;
  static constexpr int kFrameMs = 80;  // one spoke on: a turn a second

  // name: the object name the screens give their indicator ("AniIndicator").
  explicit TBusyIndicator(QWidget* parent = nullptr, const char* name = "AniIndicator");

  QColor color() const { return color_; }
  void setColor(const QColor& c);
  // The timer turns the spokes: true exactly while the widget is shown.
  bool isSpinning() const { return timer_.isActive(); }
  // The spoke drawn strongest, 0..kSpokes-1; advances with every tick.
  int frame() const { return frame_; }
  // The square the spokes are drawn in, in the widget's coordinates.
  QRectF indicatorRect() const;

 protected:
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;
  void timerEvent(QTimerEvent* e) override;
  void paintEvent(QPaintEvent* e) override;

 private:
  QBasicTimer timer_;
  QColor color_;
  int frame_ = 0;
};
