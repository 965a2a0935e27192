#include "screens/Pay.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QPointer>
#include <QSoundEffect>
#include <QTimer>
#include <QUrl>

#include "devices/D200_Sberbank.h"
#include "devices/SberDevice.h"
#include "devices/Vendotek.h"
#include "kiosk/Common.h"
#include "kiosk/LogThread.h"
#include "kiosk/Main.h"
#include "kiosk/Pictures.h"
#include "kiosk/TouchButton.h"
#include "platform/AppPaths.h"
#include "platform/Exception.h"
#include "screens/ScreenLayout.h"

TfmPay* fmPay = nullptr;

void PlayPaymentSound(const QString& fileName, bool onlyWhenPresent) {
  const QString path = plat::programFolder() + u'/' + fileName;
  if (onlyWhenPresent && !QFile::exists(path)) return;
  if (!QCoreApplication::instance()) return;
  // One player per file for the whole run: a player must outlive its sound,
  // and the same few files are played again and again.
  static QHash<QString, QPointer<QSoundEffect>> players;
  QPointer<QSoundEffect>& p = players[path];
  if (!p) {
    p = new QSoundEffect(QCoreApplication::instance());
    p->setSource(QUrl::fromLocalFile(path));
  }
  p->play();
}

namespace {

QLabel* textLabel(const QString& text, QWidget* parent, const char* name, bool bold = false) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(QLatin1String(name));
  l->setTextFormat(Qt::PlainText);  // driver messages may hold "<"
  QFont f = l->font();
  f.setPointSizeF(20);
  f.setBold(bold);
  l->setFont(f);
  return l;
}

}  // namespace

TfmPay::TfmPay(QWidget* parent) : TPaymentScreen(parent) {
  setUpSaleScreenWindow(this, QStringLiteral("Оплата покупки"));

  image = new QLabel(this);
  image->setObjectName(QStringLiteral("image"));
  SetPicture(image, bankCardPicture);
  lbPayment = textLabel(QStringLiteral("Сумма к оплате:"), this, "lbPayment");
  pnTop = new TRectangle(this);
  pnTop->setFillColor(QColor(0xDE, 0xB8, 0x87));
  lbTop = textLabel(QStringLiteral("Оплата покупки"), pnTop, "lbTop", true);
  btClose = new TRectangle(pnTop);
  btClose->hide();  // the screen ends by itself; only a close from outside aborts
  lbPaymentAmount = textLabel(QString(), this, "lbPaymentAmount", true);
  lbErr1 = textLabel(QString::fromUtf8(kPaymentFailed), this, "lbErr1", true);
  lbErr1->setStyleSheet(QStringLiteral("color: #C00000"));
  lbErr2 = textLabel(QString(), this, "lbErr2");
  lbErr2->setStyleSheet(QStringLiteral("color: #C00000"));
  lbLocation1 = textLabel(QStringLiteral("POS-терминал расположен"), this, "lbLocation1");
  lbLocation2 = textLabel(QString(), this, "lbLocation2", true);
  pnSerialNumber = createSerialNumberPanel(this, lbSerialNumber, lbSupportPhone);
  lbTotal = textLabel(QStringLiteral("Итого:"), this, "lbTotal");
  lbDiscount = textLabel(QStringLiteral("Скидка:"), this, "lbDiscount");
  lbCashback = textLabel(QStringLiteral("Списано баллов:"), this, "lbCashback");

  tmPaymentResult = new QTimer(this);
  tmPaymentResult->setInterval(250);
  connect(tmPaymentResult, &QTimer::timeout, this, &TfmPay::tmPaymentResultTimer);
  tmSound = new QTimer(this);
  tmSound->setInterval(10000);
  connect(tmSound, &QTimer::timeout, this, &TfmPay::tmSoundTimer);

  buttonPressed = [](QObject* sender) {
    if (fmMain) fmMain->buttonPressed(sender);
  };
  if (fmMain) {
    setup.pos_type = fmMain->pos_type;
    setup.vendotek = fmMain->vendotek.get();
    setup.sberPinPad = fmMain->sberPinPad.get();
    if (fmMain->sber) {
      pinPadAbort_ = std::make_unique<TD200PinPadAbort>(*fmMain->sber);
      setup.pinPad = pinPadAbort_.get();
    }
    setup.events = fmMain->eventLog.get();
    setup.log = [](const QString& text) {
      if (fmMain) fmMain->log(text);
    };
  }
  fmPay = this;
}

TfmPay::~TfmPay() {
  // The workers end before the fields they read go.
  if (payment_) payment_->close({});
  if (fmPay == this) fmPay = nullptr;
}

void TfmPay::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (shown_) return;
  shown_ = true;
  FormShow();
}

void TfmPay::FormShow() {
  lbErr1->hide();
  lbErr2->hide();
  layoutForm();
  if (playSound) playSound(QStringLiteral("payment_invite.wav"), true);

  setup.payment_amount = payment_amount;
  payment_ = std::make_unique<TCardPayment>(setup);
  payment_->start();
  tmPaymentResult->start();
  tmSound->start();
}

void TfmPay::layoutForm() {
  const TSaleScreenArea area = fitSaleScreen(this, pnSerialNumber);
  const double W = area.width;
  screen_height = area.usable_height;
  const double S = screen_height;
  const bool landscape = W > area.height;

  showAmountLines(lbPaymentAmount, lbTotal, lbDiscount, lbCashback, payment_amount, total_amount,
                  discount, cashback);

  FitFontSize(lbTop, landscape ? W / 3 : W / 2);
  pnTop->setGeometry(0, 0, int(W), int(lbTop->height() * 1.5));
  lbTop->move(int((W - lbTop->width()) / 2), (pnTop->height() - lbTop->height()) / 2);
  const double top = pnTop->height();
  const double heading = FontSizeOf(lbTop);
  SetFontSize(lbPaymentAmount, heading * 1.5);
  SetFontSize(lbPayment, heading);
  for (QLabel* l : {lbTotal, lbDiscount, lbCashback}) SetFontSize(l, heading / 2);

  if (landscape) {
    const double iw = W / 4, ih = (S - top) / 2;
    FitPicture(image, QRectF((W / 3 - iw) / 2, top + (S - top - ih) / 2, iw, ih));
    const double right = image->x() + image->width();
    lbPayment->move(0, int((S + top) / 2 - 1.5 * lbPayment->height()));
    centreX(lbPayment, right, W - right);
  } else {
    FitPicture(image, QRectF(W / 4, top + S / 8, W / 2, S / 4));
    lbPaymentAmount->move(0, int(S * 3 / 4 - lbPaymentAmount->height()));
    lbPayment->move(0, int(lbPaymentAmount->y() - 2.5 * lbPayment->height()));
    centreX(lbPayment, 0, W);
  }
  // The amount right-aligned with the caption, 1.5 of its heights lower.
  lbPaymentAmount->move(lbPayment->x() + lbPayment->width() - lbPaymentAmount->width(),
                        int(lbPayment->y() + 1.5 * lbPaymentAmount->height()));
  int y = lbPayment->y();
  for (QLabel* l : {lbCashback, lbDiscount, lbTotal}) {
    if (!l->isVisible()) continue;
    y -= l->height();
    l->move(lbPayment->x(), y);
  }

  const QString location =
      fmMain ? fmMain->globalText(QStringLiteral("pos_terminal_location")) : QString();
  lbLocation1->setVisible(!location.isEmpty());
  lbLocation2->setVisible(!location.isEmpty());
  if (!location.isEmpty()) {
    FitFontSize(lbLocation1, image->width());
    lbLocation2->setText(location);
    SetFontSize(lbLocation2, FontSizeOf(lbLocation1));
    lbLocation2->adjustSize();
    lbLocation2->move(0, image->y() - lbLocation2->height());
    centreX(lbLocation2, image->x(), image->width());
    lbLocation1->move(0, image->y() - 2 * lbLocation1->height());
    centreX(lbLocation1, image->x(), image->width());
  }
}

void TfmPay::tmPaymentResultTimer() {
  if (!payment_ || !payment_->finished()) return;
  tmPaymentResult->stop();
  if (payment_->takeCheckout())
    show_gratitude_and_close();
  else if (!ended())
    showFailure();
}

void TfmPay::showFailure() {
  const QString text = payment_->failureText();
  const double W = ScreenSize().width();
  FitFontSize(lbErr1, W * 2 / 3);
  lbErr1->move(int((W - lbErr1->width()) / 2), int(screen_height - 2 * lbErr1->height()));
  lbErr1->show();
  if (TCardPayment::showsSecondLine(text)) {
    lbErr2->setText(text);
    fitErrorText(lbErr2, lbErr1, W * 2 / 3);
    lbErr2->move(int((W - lbErr2->width()) / 2), int(screen_height - lbErr1->height()));
    lbErr2->show();
  }
  repaint();
  if (playSound) playSound(QStringLiteral("payment_error.wav"), false);
  // The screen stays responsive while the error shows; a close meanwhile
  // takes the same path.
  QTimer::singleShot(errorDisplayMs, this, [this] { FormClose(); });
}

void TfmPay::show_gratitude_and_close() {
  tmSound->stop();
  finishPaid(checkout);
}

void TfmPay::reportCheckoutFailure(const QString& text) {
  if (setup.log) setup.log(QStringLiteral("Checkout after card payment: ") + text);
  if (setup.events) setup.events->add(evInformation, text);
}

void TfmPay::tmSoundTimer() {
  if (playSound) playSound(QStringLiteral("payment_invite_2.wav"), true);
}

bool TfmPay::stopWork() {
  tmPaymentResult->stop();
  // A close is the close button's press, even with the button hidden: its
  // flash, and no event, as it has no text. It is pressed once.
  if (buttonPressed && btClose->isEnabled()) buttonPressed(btClose);
  btClose->setEnabled(false);
  tmSound->stop();
  if (!payment_) return false;
  payment_->close([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
  return payment_->takeCheckout();
}
