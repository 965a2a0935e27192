#include "kiosk/Common.h"

#include <QCheckBox>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QInputMethod>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QProcess>
#include <QScreen>
#include <QVariant>
#include <QWidget>

#include "kiosk/KeyboardLock.h"

namespace {

bool wrapsWords(const QWidget* control) {
  auto* label = qobject_cast<const QLabel*>(control);
  return label && label->wordWrap();
}

// Labels size themselves to their text on the kiosk's screens, so that the
// layout rules can read a label's height right after its font changed.
void followText(QWidget* control) {
  auto* label = qobject_cast<QLabel*>(control);
  if (label && !label->wordWrap() && !label->property(kFixedGeometry).toBool()) label->adjustSize();
}

constexpr double kMinFontSize = 1.0;
constexpr int kMaxFitSteps = 200;

}  // namespace

QString ControlText(const QWidget* control) {
  if (!control) return {};
  QString text = control->property("text").toString();
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  return text;
}

namespace {

// The text laid out in a 3000-unit box, on one line per line break unless
// the control wraps words.
QSizeF measureTextSize(const QWidget* control) {
  const QFontMetricsF fm(control->font());
  int flags = Qt::AlignLeft | Qt::AlignTop;
  if (wrapsWords(control)) flags |= Qt::TextWordWrap;
  return fm.boundingRect(QRectF(0, 0, 3000, 3000), flags, ControlText(control)).size();
}

}  // namespace

double MeasureTextWidth(const QWidget* control) {
  return control ? measureTextSize(control).width() : 0;
}

double MeasureTextHeight(const QWidget* control) {
  if (!control) return 0;
  const QFontMetricsF fm(control->font());
  int flags = Qt::AlignLeft | Qt::AlignTop;
  if (auto* label = qobject_cast<const QLabel*>(control)) {
    flags = int(label->alignment());
    if (label->wordWrap()) flags |= Qt::TextWordWrap;
  }
  return fm.boundingRect(QRectF(0, 0, control->width(), 1000), flags, ControlText(control))
      .height();
}

double FontSizeOf(const QWidget* control) {
  const QFont f = control->font();
  return f.pointSizeF() > 0 ? f.pointSizeF() : double(f.pixelSize());
}

void SetFontSize(QWidget* control, double points) {
  QFont f = control->font();
  f.setPointSizeF(qMax(points, kMinFontSize));
  control->setFont(f);
  followText(control);
}

namespace {

// The grow-then-shrink walk shared by both fittings: up while the text is
// within the limit, then down while it is beyond it; 200 steps in all.
template <typename Fits>
void fitFont(QWidget* control, Fits fits) {
  if (!control || ControlText(control).trimmed().isEmpty()) return;
  int steps = 0;
  double size = FontSizeOf(control);
  while (steps < kMaxFitSteps && fits(false)) {
    size += 1;
    SetFontSize(control, size);
    ++steps;
  }
  // A font can shrink no further than 1 point, however narrow the limit.
  while (steps < kMaxFitSteps && !fits(true) && size > kMinFontSize) {
    size = qMax(size - 1, kMinFontSize);
    SetFontSize(control, size);
    ++steps;
  }
  followText(control);
}

}  // namespace

void FitFontSize(QWidget* control, double limit) {
  // Growing stops at the first size that is not narrower than the limit;
  // shrinking goes on while the text is wider than it.
  fitFont(control, [&](bool orEqual) {
    const double w = MeasureTextWidth(control);
    return orEqual ? w <= limit : w < limit;
  });
}

void FitFontSizeToBox(QWidget* control, const QSizeF& box) {
  // A label that wraps words is laid out at the box's width: its lines add
  // up in height, and its longest word must still fit across.
  const bool wraps = wrapsWords(control);
  fitFont(control, [&](bool orEqual) {
    const QSizeF s = wraps ? QFontMetricsF(control->font())
                                 .boundingRect(QRectF(0, 0, box.width(), 1e6),
                                               Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                                               ControlText(control))
                                 .size()
                           : measureTextSize(control);
    return orEqual ? s.width() <= box.width() && s.height() <= box.height()
                   : s.width() < box.width() && s.height() < box.height();
  });
}

void FitCheckIndicator(QCheckBox* box) {
  if (!box) return;
  const int side = qMax(1, qRound(QFontMetricsF(box->font()).height() * 0.8));
  box->setStyleSheet(
      QStringLiteral("QCheckBox::indicator { width: %1px; height: %1px; }").arg(side));
}

bool ShowOnScreenKeyboard() {
  const QString command = qEnvironmentVariable("VEKTA_OSK_COMMAND", QStringLiteral("onboard"));
  QStringList args = QProcess::splitCommand(command);
  if (args.isEmpty()) return false;
  const QString program = args.takeFirst();
  keyboardGrabForOnScreenKeyboard(true);
  return QProcess::startDetached(program, args);
}

void HideVirtualKeyboard() {
  if (auto* im = QGuiApplication::inputMethod()) im->hide();
  keyboardGrabForOnScreenKeyboard(false);
}

QRectF FittedRect(const QSizeF& picture, const QRectF& box) {
  if (picture.isEmpty() || box.isEmpty()) return QRectF(box.center(), QSizeF(0, 0));
  const QSizeF size = picture.scaled(box.size(), Qt::KeepAspectRatio);
  return QRectF(box.x() + (box.width() - size.width()) / 2,
                box.y() + (box.height() - size.height()) / 2, size.width(), size.height());
}

namespace {

// The drawing a label shows, kept on the label so that a new box draws it
// again at the new size.
struct TDrawnPicture {
  TPicture draw = nullptr;
};
constexpr const char* kPictureDrawing = "vektaPictureDrawing";

}  // namespace

void SetPicture(QLabel* label, TPicture picture) {
  label->setProperty(kPictureDrawing, QVariant::fromValue(TDrawnPicture{picture}));
  label->setProperty(kPicture, picture ? picture(QSize()) : QPixmap());
}

void FitPicture(QLabel* label, const QRectF& box, TPicture picture) {
  SetPicture(label, picture);
  FitPicture(label, box);
}

void FitPicture(QLabel* label, const QRectF& box) {
  const TPicture draw = label->property(kPictureDrawing).value<TDrawnPicture>().draw;
  label->setScaledContents(false);
  label->setAlignment(Qt::AlignCenter);
  label->setGeometry(box.toRect());
  // An empty box would draw the picture at its own size.
  const QSize inner = label->contentsRect().size();
  const QPixmap shown = draw && !inner.isEmpty() ? draw(inner) : QPixmap();
  if (shown.isNull()) {
    label->clear();
    return;
  }
  label->setPixmap(shown);
}

QSizeF ScreenSize() {
  if (auto* screen = QGuiApplication::primaryScreen()) return screen->geometry().size();
  return QSizeF(1024, 768);
}

namespace {
QPointer<QWidget> mainFormWidget;
}

void SetMainFormWidget(QWidget* form) {
  mainFormWidget = form;
}

void FitFormToMainForm(QWidget* form) {
  if (!form) return;
  if (mainFormWidget && mainFormWidget != form) {
    form->setGeometry(mainFormWidget->geometry());
  } else if (auto* screen = QGuiApplication::primaryScreen()) {
    form->setGeometry(screen->geometry());
  }
}
