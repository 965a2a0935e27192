#include "kiosk/FormServices.h"

#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QLocale>
#include <cmath>

#include "kiosk/Common.h"
#include "kiosk/EventSink.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "platform/Exception.h"

namespace {

constexpr int kFlashMs = 150;
const QColor kFlashColor(0xFF, 0xD7, 0x00);  // gold

// Keeps a strip aligned to the bottom of its parent at a new height.
void setBottomAlignedHeight(QWidget* strip, double h) {
  if (QWidget* parent = strip->parentWidget())
    strip->setGeometry(QRectF(0, parent->height() - h, parent->width(), h).toRect());
  else
    strip->resize(strip->width(), int(std::lround(h)));
}

QLabel* firstLabelChild(const QWidget* w) {
  for (QObject* child : w->children())
    if (auto* label = qobject_cast<QLabel*>(child)) return label;
  return nullptr;
}

}  // namespace

void TFormServices::queueEvent(int event_id, const QString& descr) {
  // Through the gate when there is one: an event of this thread numbered
  // after the close let the lock go could take a new copy's number.
  if (eventGateSink)
    eventGateSink->add(event_id, descr);
  else if (logThread)
    logThread->add(event_id, descr);
}

QString TFormServices::globalText(const QString&) const {
  return {};
}

void TFormServices::buttonPressed(QObject* sender) {
  auto* rect = qobject_cast<TRectangle*>(sender);
  if (!rect) throw Exception(QStringLiteral("sender is not TREctangle"));

  auto* shadow = qobject_cast<QGraphicsDropShadowEffect*>(rect->graphicsEffect());
  if (shadow) shadow->setEnabled(false);
  const QColor fill = rect->fillColor();
  rect->setFillColor(kFlashColor);
  // Paint the flash now without running the event loop: processing events
  // here would let a second tap run the button's action inside this one.
  if (QWidget* parent = rect->parentWidget())
    parent->repaint(rect->geometry().adjusted(-32, -32, 32, 32));
  else
    rect->repaint();
  plat::clock().sleepMs(kFlashMs);
  rect->setFillColor(fill);
  if (shadow) shadow->setEnabled(true);

  QString text = rect->hint();
  if (text.isEmpty()) {
    if (QLabel* label = firstLabelChild(rect)) text = label->text();
  }
  if (text.isEmpty()) return;
  if (!rect->isWindow()) text = rect->window()->windowTitle() + QStringLiteral(" -> ") + text;
  queueEvent(42, text);
}

QString TFormServices::formatAmount(double x) {
  QLocale ru(QLocale::Russian, QLocale::Russia);
  ru.setNumberOptions(QLocale::OmitGroupSeparator);
  if (std::isfinite(x) && x == std::floor(x)) {
    if (std::fabs(x) < 1e15) return QString::number(qint64(x));
    return ru.toString(x, 'f', 0);
  }
  return ru.toString(x, 'f', 2);
}

void TFormServices::updateSerialNumberPanel(QWidget* panel) {
  if (!panel) return;
  QWidget* form = panel->window();
  auto* lbSerialNumber = form->findChild<QLabel*>(QStringLiteral("lbSerialNumber"));
  auto* lbSupportPhone = form->findChild<QLabel*>(QStringLiteral("lbSupportPhone"));
  const QString serial = globalText(QStringLiteral("serialNumber"));
  if (serial.isEmpty() || !lbSerialNumber || !lbSupportPhone) {
    panel->hide();
    setBottomAlignedHeight(panel, 0);
    return;
  }
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  lbSerialNumber->setText(QStringLiteral("Люмекат № ") + serial);
  const QString phone = globalText(QStringLiteral("support_phone"));
  if (phone.isEmpty()) {
    lbSupportPhone->hide();
    FitFontSize(lbSerialNumber, W / 4);
  } else {
    lbSupportPhone->setText(QStringLiteral("Техническая поддержка: ") + phone);
    lbSupportPhone->show();
    FitFontSize(lbSupportPhone, H < W ? W * 2 / 5 : W * 3 / 5);
    SetFontSize(lbSerialNumber, FontSizeOf(lbSupportPhone));
  }
  const double h = lbSerialNumber->height();
  double panelH;
  if (H >= W && !phone.isEmpty()) {
    // Portrait: the phone goes on a second line.
    panelH = h * 3;
    lbSerialNumber->move(lbSerialNumber->x(), int(std::lround(h / 3)));
    lbSupportPhone->move(0, int(std::lround(h * 5 / 3)));
  } else {
    panelH = h * 2;
    const int y = int(std::lround((panelH - h) / 2));
    lbSerialNumber->move(lbSerialNumber->x(), y);
    lbSupportPhone->move(int(std::lround(W - lbSupportPhone->width())), y);
  }
  setBottomAlignedHeight(panel, panelH);
  panel->show();
}

namespace {

// The widget that draws a button's text.
QWidget* buttonText(QWidget* button) {
  auto* touch = qobject_cast<TTouchButton*>(button);
  return touch ? touch->label() : button;
}

}  // namespace

void TFormServices::setFontSizeAndPositionForOkCancelButtons(QWidget* ok, QWidget* cancel) {
  setFontSizeAndPositionForOkCancelButtons(ok, cancel, ScreenSize().width());
}

void TFormServices::setFontSizeAndPositionForOkCancelButtons(QWidget* ok, QWidget* cancel,
                                                             double right) {
  const double W = ScreenSize().width();
  QWidget* okText = buttonText(ok);
  QWidget* cancelText = buttonText(cancel);
  if (fButtonsFontSize == 0) {
    QLabel probe(ControlText(cancelText));
    probe.setFont(okText->font());
    FitFontSize(&probe, W / 8);
    fButtonsFontSize = FontSizeOf(&probe);
    fButonsHeight = probe.height();
  }
  SetFontSize(okText, fButtonsFontSize);
  SetFontSize(cancelText, fButtonsFontSize);
  const double h = fButonsHeight;
  auto* strip = qobject_cast<TRectangle*>(ok->parentWidget());
  if (strip) setBottomAlignedHeight(strip, h * 7 / 5);
  // Measured at the font the text is drawn with, set just above.
  const double w = MeasureTextWidth(cancelText) * 5 / 3;
  const double cancelX = right - w - h;
  const double okX = cancelX - w - h;
  const double y = strip ? (strip->height() - h) / 2 : cancel->y();
  cancel->setGeometry(QRectF(cancelX, y, w, h).toRect());
  ok->setGeometry(QRectF(okX, strip ? y : ok->y(), w, h).toRect());
}
