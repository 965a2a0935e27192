#include "kiosk/LoyaltySystemCard.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QSoundEffect>
#include <QTimer>
#include <QUrl>
#include <algorithm>

#include "kiosk/Common.h"
#include "kiosk/FormServices.h"
#include "kiosk/TouchButton.h"

namespace {

QRect rectOf(double x, double y, double w, double h) {
  return QRectF(x, y, w, h).toRect();
}

QLabel* whiteLabel(const QString& text, QWidget* parent, bool bold) {
  auto* l = new QLabel(text, parent);
  l->setTextFormat(Qt::PlainText);
  l->setStyleSheet(QStringLiteral("color: white"));
  QFont f = l->font();
  f.setBold(bold);
  l->setFont(f);
  return l;
}

// One player for the program: the sound goes on after the greeting closed.
void playAsync(const QString& file) {
  static QSoundEffect* player = nullptr;
  if (!player) player = new QSoundEffect(QCoreApplication::instance());
  player->setSource(QUrl::fromLocalFile(file));
  player->play();
}

}  // namespace

TLoyaltyGreetingView loyaltyGreetingView(const TLoyalityCardInfo& card) {
  TLoyaltyGreetingView v;
  v.greeting = QStringLiteral("Здравствуйте, ") + card.user.first_name + QStringLiteral("!");
  v.discountVisible = card.discount.percent > 0;
  if (v.discountVisible)
    v.discountText = TFormServices::formatAmount(card.discount.percent) + QStringLiteral(" %");
  v.cashbackVisible = card.cashback.existed_summ > 0 || card.cashback.percent > 0;
  if (v.cashbackVisible) {
    v.cashbackText = TFormServices::formatAmount(card.cashback.existed_summ);
    v.cashbackBelowDiscount = v.discountVisible;
  }
  v.noteVisible = card.cashback.existed_summ > 0;
  return v;
}

QString loyaltyGreetingSound(const QString& programFolder) {
  const QString file = QDir(programFolder).filePath(QStringLiteral("discount.wav"));
  return QFileInfo(file).isFile() ? file : QString();
}

TfmLoyaltySystemCard::TfmLoyaltySystemCard(const TLoyalityCardInfo& card, QWidget* parent)
    : QDialog(parent), playSound(playAsync), view_(loyaltyGreetingView(card)) {
  programFolder = QCoreApplication::applicationDirPath();
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  setAttribute(Qt::WA_TranslucentBackground);
  setWindowTitle(QStringLiteral("Информация о карте лояльности"));
  pnBackground = new TRectangle(this);
  pnBackground->setFillColor(QColor(0, 0, 0, 178));
  pnMain = new TRectangle(this);
  pnMain->setFillColor(QColor(0xDE, 0xB8, 0x87));
  pnTop = new TRectangle(pnMain);
  pnTop->setFillColor(QColor(0xB8, 0x86, 0x0B));
  lbTop = new QLabel(view_.greeting, pnTop);
  lbTop->setTextFormat(Qt::PlainText);
  lbTop->setStyleSheet(QStringLiteral("color: #FFEBCD"));
  QFont f = lbTop->font();
  f.setBold(true);
  f.setPointSizeF(30);
  lbTop->setFont(f);
  pnBottom = new TRectangle(pnMain);
  pnBottom->setFillColor(QColor(0xB8, 0x86, 0x0B));
  btOK = new TTouchButton(QStringLiteral("OK"), pnBottom);
  QFont bf = btOK->label()->font();
  bf.setBold(true);
  btOK->label()->setFont(bf);
  btOK->label()->setStyleSheet(QStringLiteral("color: #B8860B"));
  Layout = new QWidget(pnMain);
  lbDiscount = whiteLabel(QStringLiteral("Ваша скидка:"), Layout, false);
  lbCashback = whiteLabel(QStringLiteral("Накоплено баллов:"), Layout, false);
  lbDiscountValue = whiteLabel(view_.discountText, Layout, true);
  lbCashbackValue = whiteLabel(view_.cashbackText, Layout, true);
  lbCashbackNote =
      whiteLabel(QStringLiteral(" Списать баллы можно в момент оплаты "), Layout, false);
  Timer1 = new QTimer(this);
  Timer1->setSingleShot(true);
  Timer1->setInterval(kCloseAfterMs);
  connect(Timer1, &QTimer::timeout, this, [this] { done(QDialog::Accepted); });
  Timer1->start();
  connect(btOK, &TRectangle::mouseDown, this, &TfmLoyaltySystemCard::btOKMouseDown);
}

void TfmLoyaltySystemCard::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FitFormToMainForm(this);
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  pnBackground->setGeometry(rect());
  // 1.
  const double mw = W * 2 / 3, mh = H * 2 / 3;
  pnMain->setGeometry(rectOf((W - mw) / 2, (H - mh) / 2, mw, mh));
  // 2.
  const double margin = mw / 100;
  FitFontSize(lbTop, (H < W ? W / 2 : W * 2 / 3) - margin);
  // 3.
  const double barH = lbTop->height() * 2.5;
  pnTop->setGeometry(rectOf(0, 0, mw, barH));
  lbTop->move(int(margin), int((barH - lbTop->height()) / 2));
  pnBottom->setGeometry(rectOf(0, mh - barH, mw, barH));
  const double bm = barH / 6;
  btOK->setGeometry(rectOf(mw * 2 / 3 - bm, bm, mw / 3, barH - 2 * bm));
  const double size = FontSizeOf(lbTop);
  for (QWidget* w :
       {static_cast<QWidget*>(btOK->label()), static_cast<QWidget*>(lbDiscount),
        static_cast<QWidget*>(lbCashback), static_cast<QWidget*>(lbCashbackNote),
        static_cast<QWidget*>(lbDiscountValue), static_cast<QWidget*>(lbCashbackValue)})
    SetFontSize(w, size);
  for (QLabel* l : {lbDiscount, lbCashback, lbDiscountValue, lbCashbackValue, lbCashbackNote})
    l->adjustSize();
  // 4.
  const double valueX = lbCashback->width() + mw / 20;
  // 5.
  lbDiscount->setVisible(view_.discountVisible);
  lbDiscountValue->setVisible(view_.discountVisible);
  lbDiscount->move(0, 0);
  lbDiscountValue->move(int(valueX), 0);
  // 6.
  lbCashback->setVisible(view_.cashbackVisible);
  lbCashbackValue->setVisible(view_.cashbackVisible);
  const double cashbackY = view_.cashbackBelowDiscount ? 2 * lbDiscount->height() : 0;
  lbCashback->move(0, int(cashbackY));
  lbCashbackValue->move(int(valueX), int(cashbackY));
  // 7.
  const double valueRight = valueX + std::max(view_.discountVisible ? lbDiscountValue->width() : 0,
                                              view_.cashbackVisible ? lbCashbackValue->width() : 0);
  lbCashbackNote->setVisible(view_.noteVisible);
  double layoutH = view_.cashbackVisible ? cashbackY + lbCashback->height()
                                         : (view_.discountVisible ? lbDiscount->height() : 0);
  if (view_.noteVisible) {
    FitFontSize(lbCashbackNote, std::max(valueRight, 1.0));
    lbCashbackNote->adjustSize();
    lbCashbackNote->move(0, int(cashbackY + lbCashback->height()));
    layoutH = lbCashbackNote->y() + lbCashbackNote->height();
  }
  // 8.
  const double layoutW = std::max(valueRight, view_.noteVisible ? lbCashbackNote->width() : 0.0);
  const double areaTop = barH, areaH = mh - 2 * barH;
  Layout->setGeometry(
      rectOf((mw - layoutW) / 2, areaTop + (areaH - layoutH) / 2, layoutW, layoutH));

  const QString sound = loyaltyGreetingSound(programFolder);
  if (!sound.isEmpty() && playSound) playSound(sound);
}

void TfmLoyaltySystemCard::btOKMouseDown() {
  if (buttonPressed) buttonPressed(btOK);
  done(QDialog::Accepted);
}

void TfmLoyaltySystemCard::keyPressEvent(QKeyEvent* e) {
  // Escape and Enter are the scanner's too; they go on like any key.
  e->accept();
}

void TfmLoyaltySystemCard::keyReleaseEvent(QKeyEvent* e) {
  // The scanner's keys are read on release everywhere; the greeting hands
  // this one on and gives the screen back for the rest of the code.
  e->accept();
  // Closed first: a code the scanner does not know raises, and the greeting
  // must not stay in front of the message.
  done(QDialog::Accepted);
  if (scannerKeyUp) scannerKeyUp(e);
}
