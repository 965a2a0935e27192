#include "kiosk/DialogsAndMessages.h"

#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cmath>

#include "kiosk/ButtonStrip.h"
#include "kiosk/Common.h"
#include "kiosk/Pictures.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"

TfmYNCQuestion* fmYNCQuestion = nullptr;

namespace {

QLabel* pictureLabel(TPicture picture, QWidget* parent) {
  auto* l = new QLabel(parent);
  SetPicture(l, picture);
  return l;
}

QString withLineBreaks(QString text) {
  return text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

}  // namespace

TfmYNCQuestion::TfmYNCQuestion(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  setAttribute(Qt::WA_TranslucentBackground);
  setWindowTitle(QStringLiteral("Диалог \"Да/Нет/Отмена\""));

  pnBackground = new TRectangle(this);
  pnBackground->setFillColor(QColor(0, 0, 0, 128));
  pnMain = new TRectangle(this);
  pnMain->setFillColor(Qt::white);
  pnBottom = createButtonStrip(pnMain);
  btYes = stripButton(QStringLiteral("Да"), true, pnBottom);
  btCancel = stripButton(QStringLiteral("Отмена"), false, pnBottom);
  lbText = new QLabel(pnMain);
  lbText->setTextFormat(Qt::PlainText);  // messages of lower layers may hold "<"
  lbText->setAlignment(Qt::AlignCenter);
  lbText->setWordWrap(false);
  QFont tf = lbText->font();
  tf.setPointSizeF(30);
  lbText->setFont(tf);
  imQuestion = pictureLabel(questionPicture, pnMain);
  btNo = stripButton(QStringLiteral("Нет"), false, pnBottom);
  imExcl = pictureLabel(exclamationPicture, pnMain);
  tmRemainingTime = new QTimer(this);
  tmRemainingTime->setInterval(1000);

  connect(btYes, &QPushButton::clicked, this, &TfmYNCQuestion::btYesClick);
  connect(btNo, &QPushButton::clicked, this, &TfmYNCQuestion::btNoClick);
  connect(btCancel, &QPushButton::clicked, this, &TfmYNCQuestion::btCancelClick);
  connect(tmRemainingTime, &QTimer::timeout, this, &TfmYNCQuestion::tmRemainingTimeTimer);

  previous_ = fmYNCQuestion;
  fmYNCQuestion = this;
}

TfmYNCQuestion::~TfmYNCQuestion() {
  if (fmYNCQuestion == this) fmYNCQuestion = previous_;
}

QString TfmYNCQuestion::textWithRemaining(int seconds) const {
  if (remaining_time_tag.isEmpty()) return txt;
  QString t = txt;
  return t.replace(remaining_time_tag, QString::number(seconds), Qt::CaseSensitive);
}

void TfmYNCQuestion::btYesClick() {
  res = mrYes;
  done(res);
}

void TfmYNCQuestion::btNoClick() {
  res = mrNo;
  done(res);
}

void TfmYNCQuestion::btCancelClick() {
  res = mrCancel;
  done(res);
}

void TfmYNCQuestion::keyPressEvent(QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      btYesClick();
      return;
    case Qt::Key_Escape:
      // No escape on a kiosk: only the buttons, Enter or the countdown answer.
      return;
    default:
      QWidget::keyPressEvent(e);
  }
}

void TfmYNCQuestion::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FormShow();
}

void TfmYNCQuestion::FormShow() {
  const QSizeF screen = ScreenSize();
  const double W = screen.width();
  pnBackground->setGeometry(rect());

  const double mainW = W * 2 / 3;

  // One font size and height for all buttons: the widest caption fitted to a
  // seventh of the strip.
  QLabel probe(btCancel->text());
  probe.setFont(btYes->font());
  FitFontSize(&probe, mainW / 7);
  const double bh = probe.height();
  for (QPushButton* b : {btYes, btNo, btCancel}) SetFontSize(b, FontSizeOf(&probe));

  const double bottomH = bh * 7 / 5;
  const double bw = MeasureTextWidth(btCancel) * 5 / 3;

  // From the right, closing up over hidden buttons; margins and gaps are one
  // button height.
  double x = mainW;
  for (QPushButton* b : {btCancel, btNo, btYes}) {
    if (b->isHidden()) continue;
    x -= bw + bh;
    b->setGeometry(QRectF(x, (bottomH - bh) / 2, bw, bh).toRect());
  }

  QLabel* image = imQuestion->isHidden() ? imExcl : imQuestion;
  const double imgW = mainW / 8;

  lbText->setText(withLineBreaks(textWithRemaining(closing_timeout)));
  FitFontSize(lbText, std::min(mainW - imgW * 3, W / 2));
  lbText->adjustSize();
  const double textH = lbText->height();
  const double mainH = textH + bottomH * 3;
  lbText->move(QPointF(imgW * 2, (mainH - bottomH - textH) / 2).toPoint());

  pnMain->setGeometry(QRectF((width() - mainW) / 2, (height() - mainH) / 2, mainW, mainH).toRect());
  pnBottom->setGeometry(QRectF(0, mainH - bottomH, mainW, bottomH).toRect());
  const QRectF imageRect(imgW / 2, 0, imgW, mainH - bottomH);
  FitPicture(image, imageRect);

  if (closing_timeout > 0) tmRemainingTime->start();
  form_show_ms = plat::clock().nowMs();
}

void TfmYNCQuestion::tmRemainingTimeTimer() {
  const double elapsed = double(plat::clock().nowMs() - form_show_ms) / 1000.0;
  const int remaining = closing_timeout - int(std::nearbyint(elapsed));
  if (remaining <= 0) {
    tmRemainingTime->stop();
    done(res);  // the answer stays as set: OK for a confirmation
    return;
  }
  if (!remaining_time_tag.isEmpty()) {
    lbText->setText(withLineBreaks(textWithRemaining(remaining)));
    lbText->adjustSize();
  }
}

namespace {

// The dialog covers the whole screen and dims what lies behind its panel,
// also before the main form has been shown (the second-copy notice).
void maximise(TfmYNCQuestion& form) {
  if (auto* screen = QGuiApplication::primaryScreen()) form.setGeometry(screen->geometry());
}

void showAsMessage(TfmYNCQuestion& form, const QString& message, int seconds) {
  form.imQuestion->hide();
  form.txt = message;
  form.btYes->setText(QStringLiteral("OK"));
  form.btNo->hide();
  form.btCancel->hide();
  form.closing_timeout = seconds;
  maximise(form);
  form.exec();
}

}  // namespace

int AskYesNoCancel(const QString& message) {
  TfmYNCQuestion form;
  form.imExcl->hide();
  form.txt = message;
  maximise(form);
  form.exec();
  return form.res;
}

bool ConfirmOkCancel(const QString& message, int seconds, const QString& placeholder) {
  TfmYNCQuestion form;
  form.imQuestion->hide();
  form.txt = message;
  form.btYes->setText(QStringLiteral("OK"));
  form.btNo->hide();
  form.closing_timeout = seconds;
  form.remaining_time_tag = placeholder;
  // A countdown that runs out counts as OK.
  form.res = TfmYNCQuestion::mrYes;
  maximise(form);
  form.exec();
  return form.res == TfmYNCQuestion::mrYes;
}

void ShowInfo(const QString& message) {
  TfmYNCQuestion form;
  showAsMessage(form, message, 0);
}

void ShowMessageTimed(const QString& message, int seconds) {
  TfmYNCQuestion form;
  showAsMessage(form, message, seconds);
}
