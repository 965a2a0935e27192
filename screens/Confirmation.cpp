#include "screens/Confirmation.h"

#include <QKeyEvent>
#include <QLabel>
#include <QTimer>

#include "kiosk/Common.h"
#include "kiosk/Main.h"
#include "kiosk/TouchButton.h"

TfmConfirmation* fmConfirmation = nullptr;

namespace {

constexpr int mrOk = 1;
constexpr int mrCancel = 2;

QLabel* line(const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setTextFormat(Qt::PlainText);
  QFont f = l->font();
  f.setPointSizeF(40);
  l->setFont(f);
  l->adjustSize();
  return l;
}

}  // namespace

TfmConfirmation::TfmConfirmation(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setWindowTitle(QStringLiteral("Form1"));
  pnMain = new TRectangle(this);
  pnMain->setFillColor(Qt::white);
  pnTop = new TRectangle(pnMain);
  pnTop->setFillColor(QColor(0xDE, 0xB8, 0x87));
  lbTop = line(QStringLiteral("Эспрессо"), pnTop);
  lbTop->setWordWrap(true);
  lbTop->setAlignment(Qt::AlignCenter);
  pnCenter = new TRectangle(pnMain);
  pnCenter->setFillColor(Qt::white);
  lb1 = line(QStringLiteral("Пожалуйста, "), pnCenter);
  lb2 = line(QStringLiteral("установите стакан"), pnCenter);
  lb3 = line(QStringLiteral("в зону выдачи"), pnCenter);
  pnBottom = new TRectangle(pnMain);
  pnBottom->setFillColor(Qt::white);
  btOK = new TTouchButton(QStringLiteral("Приготовление"), pnBottom);
  QFont bf = btOK->label()->font();
  bf.setBold(true);
  btOK->label()->setFont(bf);
  tmClose = new QTimer(this);
  tmClose->setInterval(15000);
  buttonPressed = [](QObject* sender) {
    if (fmMain) fmMain->buttonPressed(sender);
  };
  btOK->installEventFilter(this);
  connect(btOK, &TRectangle::mouseDown, this, &TfmConfirmation::btOKMouseDown);
  connect(btOK, &TRectangle::clicked, this, &TfmConfirmation::btOKClick);
  connect(tmClose, &QTimer::timeout, this, &TfmConfirmation::tmCloseTimer);
}

void TfmConfirmation::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FitFormToMainForm(this);
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  pnMain->setGeometry(rect());
  // A long name shrinks step by step until it takes at most a tenth of the
  // screen's height.
  lbTop->setWordWrap(false);
  FitFontSize(lbTop, W * 2 / 3);
  for (int i = 1; MeasureTextHeight(lbTop) > H / 10 && i < 100; ++i)
    FitFontSize(lbTop, 2 * W / (i + 3));
  lbTop->adjustSize();
  const double topH = lbTop->height() * 2;
  pnTop->setGeometry(QRectF(0, 0, W, topH).toRect());
  lbTop->move(int((W - lbTop->width()) / 2), int((topH - lbTop->height()) / 2));

  QLabel probe(btOK->label()->text());
  probe.setFont(btOK->label()->font());
  FitFontSize(&probe, W / 3);
  SetFontSize(btOK->label(), FontSizeOf(&probe));
  const double bh = probe.height() * 1.5;
  const double bottomH = bh * 2;
  pnBottom->setGeometry(QRectF(0, H - bottomH, W, bottomH).toRect());
  btOK->setGeometry(QRectF(W / 4, (bottomH - bh) / 2, W / 2, bh).toRect());
  pnCenter->setGeometry(QRectF(0, topH, W, H - topH - bottomH).toRect());

  FitFontSize(lb2, W > H ? W / 2 : W * 2 / 3);
  SetFontSize(lb1, FontSizeOf(lb2));
  SetFontSize(lb3, FontSizeOf(lb2));
  const double g = (pnCenter->height() - 3 * lb1->height()) / 3;
  lb1->move(int((W - lb1->width()) / 2), int(g));
  lb2->move(int((W - lb2->width()) / 2), int(lb1->height() + 2 * g));
  lb3->move(int((W - lb3->width()) / 2), int(lb1->height() + lb2->height() + 3 * g));
  show_tm = QDateTime::currentDateTime();
}

void TfmConfirmation::keyPressEvent(QKeyEvent* e) {
  e->accept();
}

void TfmConfirmation::btOKMouseDown() {
  if (buttonPressed) buttonPressed(btOK);
  // Closing here would hide the button before its release: the click
  // handler would never run.
  confirmed_ = true;
}

void TfmConfirmation::btOKClick() {
  if (buttonPressed) buttonPressed(btOK);
  done(mrOk);
}

bool TfmConfirmation::eventFilter(QObject* watched, QEvent* e) {
  // Seen before the button handles the release; the click, if any, closes
  // first, and a finger lifted off the button still confirms.
  if (watched == btOK && e->type() == QEvent::MouseButtonRelease && confirmed_)
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (isVisible()) done(mrOk);
        },
        Qt::QueuedConnection);
  return QDialog::eventFilter(watched, e);
}

void TfmConfirmation::tmCloseTimer() {
  done(mrCancel);
}

bool showCupConfirmation(const QString& drinkName) {
  // The program is closing: nobody waits for the customer's cup any more.
  if (fmMain && fmMain->closePending()) return false;
  TfmConfirmation form(fmMain);
  form.lbTop->setText(drinkName);
  if (fmMain)
    QObject::connect(fmMain, &TfmMain::closeRequested, &form, [&form] { form.done(mrCancel); });
  fmConfirmation = &form;
  const int r = form.exec();
  fmConfirmation = nullptr;
  return r == mrOk;
}
