#include "screens/PaymentMethod.h"

#include <QKeyEvent>
#include <QLabel>
#include <QTimer>
#include <algorithm>

#include "kiosk/Common.h"
#include "kiosk/Main.h"
#include "kiosk/Pictures.h"
#include "kiosk/TouchButton.h"
#include "screens/Checkout.h"
#include "screens/Gratitude.h"
#include "screens/Pay.h"
#include "screens/Recycle.h"

TfmPaymentTypeDialog* fmPaymentTypeDialog = nullptr;

namespace {

constexpr int mrOk = 1;
constexpr int mrCancel = 2;
const QColor kBurlywood(0xDE, 0xB8, 0x87);

}  // namespace

std::vector<QRectF> paymentButtonRects(double W, double v, const bool offered[4]) {
  int n = 0;
  for (int i = 0; i < 4; ++i) n += offered[i] ? 1 : 0;
  std::vector<QRectF> out(4);
  if (n == 0) return out;
  const double w = W / 2;
  const double h = v / (2 * n + 1);
  const double g = (v - n * h) / (n + 1);
  double y = g;
  for (int i = 0; i < 4; ++i) {
    if (!offered[i]) continue;
    out[size_t(i)] = QRectF((W - w) / 2, y, w, h);
    y += h + g;
  }
  return out;
}

TfmPaymentTypeDialog::TfmPaymentTypeDialog(TfmRecycle* cart, QWidget* parent)
    : QDialog(parent), cart_(cart) {
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setWindowTitle(QStringLiteral("Диалог выбора способа оплаты"));
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);

  pnTop = new TRectangle(this);
  pnTop->setFillColor(kBurlywood);
  lbTop = new QLabel(QStringLiteral("Оплата покупки"), pnTop);
  QFont f = lbTop->font();
  f.setBold(true);
  f.setPointSizeF(30);
  lbTop->setFont(f);
  btClose = new TTouchButton(QStringLiteral("✕"), pnTop);
  btClose->setHint(QStringLiteral("Закрыть"));
  pnMain = new QWidget(this);
  btPay = MakePictureButton(QStringLiteral("Банковская карта"), bankCardPicture, pnMain, "btPay",
                            "imPay", "lbPay");
  btSBP = MakePictureButton(QStringLiteral("Система быстрых платежей"), sbpPicture, pnMain, "btSBP",
                            "imSbp", "lbSBP");
  btYandexBadge = MakePictureButton(QStringLiteral("Яндекс-бейдж"), yandexBadgePicture, pnMain,
                                    "btYandexBadge", "imYandexBadge", "lbYandexBadge");
  btIdentityCard = MakePictureButton(QStringLiteral("Бонусная программа"), identityCardPicture,
                                     pnMain, "btIdentityCard", "imIdentityCard", "lbIdentityCard");
  pnSerialNumber = new TRectangle(this);
  pnSerialNumber->setFillColor(kBurlywood);
  lbSerialNumber = new QLabel(pnSerialNumber);
  lbSerialNumber->setObjectName(QStringLiteral("lbSerialNumber"));
  lbSupportPhone = new QLabel(pnSerialNumber);
  lbSupportPhone->setObjectName(QStringLiteral("lbSupportPhone"));
  tmIdle = new QTimer(this);
  tmIdle->setInterval(kIdleMs);

  connect(btPay, &TRectangle::mouseDown, this, &TfmPaymentTypeDialog::btPayMouseDown);
  connect(btSBP, &TRectangle::mouseDown, this, &TfmPaymentTypeDialog::btSBPMouseDown);
  connect(btYandexBadge, &TRectangle::mouseDown, this,
          &TfmPaymentTypeDialog::btYandexBadgeMouseDown);
  connect(btIdentityCard, &TRectangle::mouseDown, this,
          &TfmPaymentTypeDialog::btIdentityCardMouseDown);
  connect(btClose, &TRectangle::mouseDown, this, &TfmPaymentTypeDialog::btCloseMouseDown);
  connect(tmIdle, &QTimer::timeout, this, &TfmPaymentTypeDialog::tmIdleTimer);

  if (cart_ && cart_->cart.hooks.updateSerialNumberPanel)
    cart_->cart.hooks.updateSerialNumberPanel(pnSerialNumber);
  const TCartSettings s =
      cart_ && cart_->cart.hooks.settings ? cart_->cart.hooks.settings() : TCartSettings{};
  btSBP->setVisible(s.sbp_enabled);
  btYandexBadge->setVisible(s.yandex_badge_enabled);
  btIdentityCard->setVisible(s.cardProject_id > 0);
  tmIdle->start();
  layoutForm();
}

void TfmPaymentTypeDialog::layoutForm() {
  FitFormToMainForm(this);
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  FitFontSize(lbTop, W > H ? W / 3 : W / 2);
  const double topH = lbTop->height() * 1.5;
  pnTop->setGeometry(QRectF(0, 0, W, topH).toRect());
  lbTop->move(int((W - lbTop->width()) / 2), int((topH - lbTop->height()) / 2));
  btClose->setGeometry(QRectF(W - topH * 0.9, topH * 0.1, topH * 0.8, topH * 0.8).toRect());
  btClose->fitLabel();
  // Before the dialog is shown nothing is visible: only a hidden footer takes no room.
  const double footer = pnSerialNumber->isHidden() ? 0 : pnSerialNumber->height();
  pnSerialNumber->setGeometry(QRectF(0, H - footer, W, footer).toRect());
  const double v = H - topH - footer;
  pnMain->setGeometry(QRectF(0, topH, W, v).toRect());
  const bool offered[4] = {true, !btSBP->isHidden(), !btYandexBadge->isHidden(),
                           !btIdentityCard->isHidden()};
  const std::vector<QRectF> rects = paymentButtonRects(W, v, offered);
  TTouchButton* buttons[4] = {btPay, btSBP, btYandexBadge, btIdentityCard};
  for (int i = 0; i < 4; ++i)
    if (offered[i]) buttons[i]->setGeometry(rects[size_t(i)].toRect());
  // The logo stands in a square at the button's left, inset from its frame,
  // and no wider than a fifth of the button: on a portrait screen the
  // buttons are tall, and a square as high as the button would leave the
  // label little room.
  const double bw = rects[0].width(), bh = rects[0].height();
  const double logo = std::min(0.8 * bh, bw / 5);
  const QRectF logoBox(0.1 * bh, (bh - logo) / 2, logo, logo);
  for (TTouchButton* b : buttons) b->setImageGeometry(logoBox);
  FitFontSize(btSBP->label(), bw - 2 * logo);
  for (TTouchButton* b : buttons) SetFontSize(b->label(), FontSizeOf(btSBP->label()));
}

void TfmPaymentTypeDialog::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  layoutForm();
}

void TfmPaymentTypeDialog::keyPressEvent(QKeyEvent* e) {
  // The scanner's Enter must not close the dialog.
  e->accept();
}

void TfmPaymentTypeDialog::runMethod(TTouchButton* button, const std::function<bool()>& op) {
  if (!cart_ || cart_->cart.selected_goods.empty()) return;
  if (cart_->cart.hooks.buttonPressed) cart_->cart.hooks.buttonPressed(button);
  tmIdle->stop();
  struct Restart {
    QTimer* t;
    ~Restart() { t->start(); }
  } restart{tmIdle};
  if (op && op()) done(mrOk);
}

void TfmPaymentTypeDialog::btPayMouseDown() {
  runMethod(btPay, [this] { return cart_->cart.payByCard(); });
}

void TfmPaymentTypeDialog::btSBPMouseDown() {
  runMethod(btSBP, cart_ ? cart_->cart.hooks.payBySbp : nullptr);
}

void TfmPaymentTypeDialog::btYandexBadgeMouseDown() {
  runMethod(btYandexBadge, cart_ ? cart_->cart.hooks.payByYandexBadge : nullptr);
}

void TfmPaymentTypeDialog::btIdentityCardMouseDown() {
  runMethod(btIdentityCard, cart_ ? cart_->cart.hooks.payByIdentityCard : nullptr);
}

void TfmPaymentTypeDialog::btCloseMouseDown() {
  if (cart_ && cart_->cart.hooks.buttonPressed) cart_->cart.hooks.buttonPressed(btClose);
  done(mrCancel);
}

void TfmPaymentTypeDialog::tmIdleTimer() {
  if (msSinceLastUserInput() > TCart::kRecentInputMs) done(mrCancel);
}

bool showPaymentTypeDialog(TfmRecycle* cart) {
  TfmPaymentTypeDialog dlg(cart, cart);
  fmPaymentTypeDialog = &dlg;
  const int r = dlg.exec();
  fmPaymentTypeDialog = nullptr;
  return r == mrOk;
}

// ---- the card screen ----------------------------------------------------------

namespace {

void showKioskGratitude(const TCheckoutSale& sale, const TGratitudeSetup& setup) {
  TfmGratitude form(fmRecycle);
  form.disable_check_creation = setup.disable_check_creation;
  form.balance_message = setup.balance_message;
  form.goods = toSaleLines(sale.lines);
  form.payment_amount = sale.payment_amount;
  if (fmMain) form.mainClient = fmMain->JClient.get();
  fmGratitude = &form;
  form.exec();
  fmGratitude = nullptr;
}

}  // namespace

void runKioskCheckout(const TCheckoutSale& sale, bool saleEventsQueued) {
  TKioskCheckoutSteps steps;
  steps.gratitude = [&sale](const TGratitudeSetup& g) { showKioskGratitude(sale, g); };
  runCheckout(sale, steps, saleEventsQueued);
}

int runCardPaymentScreen() {
  TfmRecycle* cart = fmRecycle;
  if (!cart) return mrCancel;
  const TCheckoutSale sale = cart->checkoutSale(TPaymentMethod::Card);
  TfmPay pay(cart);
  pay.payment_amount = sale.payment_amount;
  pay.total_amount = sale.total_amount;
  pay.discount = sale.discount;
  pay.cashback = sale.cashback;
  pay.setup.lines = toSaleLines(sale.lines);
  pay.setup.discountCoeff = sale.discountCoeff;
  pay.setup.saleCount = saleCountOf(sale);
  // The terminal queued the sale events when it approved.
  pay.checkout = [sale] {
    TKioskCheckoutSteps steps;
    steps.gratitude = [&sale](const TGratitudeSetup& g) { showKioskGratitude(sale, g); };
    runCheckout(sale, steps, true);
  };
  return pay.exec() == mrOk ? mrOk : mrCancel;
}
