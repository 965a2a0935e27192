#include "screens/Badge.h"

#include <QKeyEvent>
#include <QLabel>
#include <QTimer>

#include "kiosk/Common.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/EventSink.h"
#include "kiosk/FormServices.h"
#include "kiosk/LogThread.h"
#include "kiosk/Main.h"
#include "kiosk/Pictures.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "screens/Pay.h"
#include "screens/PaymentMethod.h"
#include "screens/PaymentThreads.h"
#include "screens/Recycle.h"
#include "screens/ScreenLayout.h"

TfmYandexBadge* fmYandexBadge = nullptr;
TfmIdentityCard* fmIdentityCard = nullptr;

TBadgeTryOutcome badgeTryOutcome(int attempt, const std::optional<QString>& error) {
  if (!error) return TBadgeTryOutcome::Paid;
  // Only a badge not presented in time is worth asking for again.
  if (error->contains(QString::fromUtf8(kBadgeCardTimeout)) && attempt < TfmYandexBadge::kTries)
    return TBadgeTryOutcome::Retry;
  return TBadgeTryOutcome::Failed;
}

bool identityCardKey(QString& input_text, int key, const QString& text) {
  const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter || text == QLatin1String("\r") ||
                     text == QLatin1String("\n");
  if (enter) return !input_text.isEmpty();
  // A reader that sends a prefix or separators before the number: every
  // non-digit starts the number over.
  if (text.size() == 1 && text[0] >= u'0' && text[0] <= u'9')
    input_text += text;
  else
    input_text.clear();
  return false;
}

QString insufficientBalanceText(double initial_balance) {
  return QStringLiteral("Недостаточный баланс (") + TFormServices::formatAmount(initial_balance) +
         QStringLiteral(" ₽).");
}

namespace {

TProductPositionArray fullPricePositions(const TCheckoutSale& sale) {
  TProductPositionArray out;
  for (const TSelectedGood& g : sale.lines)
    out.push_back({g.product.name, g.quantity, g.product.price});
  return out;
}

}  // namespace

// ---- both screens -------------------------------------------------------------

TAccountPaymentScreen::TAccountPaymentScreen(QWidget* parent, const QString& location,
                                             TPicture picture, bool locationRightAbove)
    : TPaymentScreen(parent), location_right_above_(locationRightAbove) {
  setUpSaleScreenWindow(this, QStringLiteral("Оплата покупки"));

  pnSerialNumber = createSerialNumberPanel(this, lbSerialNumber, lbSupportPhone);
  const TSaleScreenHeader header = createSaleScreenHeader(this);
  pnTop = header.pnTop;
  lbTop = header.lbTop;
  btClose = header.btClose;
  lbLocation1 = saleScreenLabel(location, this, "lbLocation1");
  image = new QLabel(this);
  image->setObjectName(QStringLiteral("image"));
  SetPicture(image, picture);
  createErrorLines(this, lbErr1, lbErr2);
  lbErr1->hide();
  lbErr2->hide();
  lb1 = saleScreenLabel(QStringLiteral("Сумма к оплате:"), this, "lb1");
  lbAmount = saleScreenLabel(QString(), this, "lbAmount", true);
  tmStart = new QTimer(this);
  tmStart->setInterval(100);

  connect(btClose, &TRectangle::mouseDown, this, &TAccountPaymentScreen::btCloseMouseDown);

  playSound = PlayPaymentSound;
  buttonPressed = [](QObject* sender) {
    if (fmMain) fmMain->buttonPressed(sender);
  };
  if (fmMain) {
    kernel_api = fmMain->kernel_api.get();
    vm_id = fmMain->vm_id;
    events = fmMain->logThread;
    log = [](const QString& text) {
      if (fmMain) fmMain->log(text);
    };
  }
}

TAccountPaymentScreen::~TAccountPaymentScreen() = default;

void TAccountPaymentScreen::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (shown_) return;
  shown_ = true;
  FormShow();
}

void TAccountPaymentScreen::FormShow() {
  layoutForm();
}

void TAccountPaymentScreen::layoutForm() {
  const TSaleScreenArea area = fitSaleScreen(this, pnSerialNumber);
  const double W = area.width, H = area.height;
  screen_height = area.usable_height;
  const double S = screen_height;
  const bool landscape = W > H;

  const double top = layoutSaleScreenHeader({pnTop, lbTop, btClose}, W, landscape);
  const double heading = FontSizeOf(lbTop);
  lbAmount->setText(TFormServices::formatAmount(sale.payment_amount) + QStringLiteral(" ₽"));
  SetFontSize(lbAmount, heading * 1.5);
  SetFontSize(lb1, heading);
  lbAmount->adjustSize();
  lb1->adjustSize();

  if (landscape) {
    const double iw = W / 4, ih = (S - top) / 2;
    FitPicture(image, QRectF((W / 3 - iw) / 2, top + (S - top - ih) / 2, iw, ih));
    const double right = image->x() + image->width();
    lb1->move(int(right + (W - right - lb1->width()) / 2),
              int((S + top) / 2 - 1.5 * lb1->height()));
    lbAmount->move(lb1->x() + lb1->width() - lbAmount->width(),
                   int(lb1->y() + 1.5 * lb1->height()));
  } else {
    FitPicture(image, QRectF(W / 4, top + S / 8, W / 2, S / 4));
    lbAmount->move(int((W - lbAmount->width()) / 2), int(S * 3 / 4 - lbAmount->height()));
    lb1->move(int((W - lb1->width()) / 2), int(lbAmount->y() - 2.5 * lb1->height()));
  }
  FitFontSize(lbLocation1, W / 3);
  lbLocation1->move(image->x(),
                    image->y() - lbLocation1->height() * (location_right_above_ ? 1 : 2));
}

void TAccountPaymentScreen::btCloseMouseDown() {
  if (busy() || ended()) return;
  if (buttonPressed) buttonPressed(btClose);
  FormClose();
}

void TAccountPaymentScreen::paid(const TCheckoutSale& s) {
  paid_sale_ = s;
  finishPaid([this, &s] {
    if (checkout) checkout(s);
  });
}

void TAccountPaymentScreen::reportCheckoutFailure(const QString& text) {
  // The back office charged the account: the sale stays paid and the
  // customer is not charged again.
  if (log) log(QStringLiteral("Checkout after account payment: ") + text);
  if (events) events->add(evInformation, text);
}

// ---- TfmYandexBadge -----------------------------------------------------------

TfmYandexBadge::TfmYandexBadge(QWidget* parent)
    : TAccountPaymentScreen(parent, QStringLiteral("Предъявите Яндекс-бейдж"), yandexBadgePicture,
                            true) {
  btClose->hide();  // the screen ends by itself
  tmStart->setSingleShot(true);
  connect(tmStart, &QTimer::timeout, this, &TfmYandexBadge::tmStartTimer);
  fmYandexBadge = this;
}

TfmYandexBadge::~TfmYandexBadge() {
  if (fmYandexBadge == this) fmYandexBadge = nullptr;
}

void TfmYandexBadge::FormShow() {
  TAccountPaymentScreen::FormShow();
  tmStart->start(kStartMs);
}

void TfmYandexBadge::tmStartTimer() {
  tmStart->stop();
  if (busy() || ended()) return;
  std::optional<QString> error;
  {
    TBusy busy(*this);
    // An account must never be charged for nothing or refunded from here.
    if (!(sale.payment_amount > 0)) {
      error = QString::fromUtf8(kBadPaymentAmount);
    } else if (!kernel_api) {
      error = QStringLiteral("Нет связи с сервером.");
    } else {
      const TProductPositionArray positions = fullPricePositions(sale);
      for (int attempt = 1;; ++attempt) {
        ++tries_;
        try {
          kernel_api->yandexBadgePayment(int(vm_id), positions, kTimeout);
          error.reset();
        } catch (const std::exception& e) {
          error = exceptionMessage(e);
        }
        if (badgeTryOutcome(attempt, error) != TBadgeTryOutcome::Retry) break;
      }
    }
  }
  if (!error) {
    TCheckoutSale s = sale;
    s.method = TPaymentMethod::YandexBadge;
    paid(s);
    return;
  }
  showError(*error);
}

void TfmYandexBadge::showError(const QString& message) {
  const QString text = TCardPayment::cutAtFirstDot(message);
  const double W = ScreenSize().width();
  lbErr2->setText(text);
  FitFontSize(lbErr1, W * 2 / 3);
  if (!text.trimmed().isEmpty()) fitErrorText(lbErr2, lbErr1, W * 2 / 3);
  lbErr2->adjustSize();
  lbErr1->move(int((W - lbErr1->width()) / 2), int(screen_height - 2 * lbErr1->height()));
  lbErr2->move(int((W - lbErr2->width()) / 2), int(screen_height - lbErr1->height()));
  lbErr1->show();
  lbErr2->show();
  repaint();
  if (playSound) playSound(QStringLiteral("payment_error.wav"), false);
  cancelAfter(errorDisplayMs);
}

// ---- TfmIdentityCard ----------------------------------------------------------

TfmIdentityCard::TfmIdentityCard(QWidget* parent)
    : TAccountPaymentScreen(parent, QStringLiteral("Просканируйте бонусную карту"),
                            identityCardPicture, false) {
  showMessage = [](const QString& text) { ShowMessageTimed(text, 5); };
  tmIdle = new QTimer(this);
  tmIdle->setInterval(kIdleLookMs);
  connect(tmStart, &QTimer::timeout, this, &TfmIdentityCard::tmStartTimer);
  connect(tmIdle, &QTimer::timeout, this, &TfmIdentityCard::tmIdleTimer);
  if (fmMain) vekta_recycle_warning_delay = fmMain->vekta_recycle_warning_delay;
  fmIdentityCard = this;
}

TfmIdentityCard::~TfmIdentityCard() {
  if (fmIdentityCard == this) fmIdentityCard = nullptr;
}

void TfmIdentityCard::FormShow() {
  TAccountPaymentScreen::FormShow();
  input_text.clear();
  tmStart->start();
  restartIdle();
}

void TfmIdentityCard::tmStartTimer() {
  tmStart->stop();
}

void TfmIdentityCard::restartIdle() {
  last_key_ms_ = plat::clock().nowMs();
  tmIdle->start();
}

void TfmIdentityCard::tmIdleTimer() {
  if (busy() || ended()) return;
  if (plat::clock().nowMs() - last_key_ms_ < int64_t(vekta_recycle_warning_delay) * 1000) return;
  tmIdle->stop();
  FormClose();
}

void TfmIdentityCard::keyReleaseEvent(QKeyEvent* e) {
  e->accept();
  FormKeyUp(e->key(), e->text());
}

void TfmIdentityCard::FormKeyUp(int key, const QString& text) {
  // Keys that arrive while a card is being paid belong to no card.
  if (busy() || ended()) return;
  // A card being read is never cut off: every key starts the idle time over.
  last_key_ms_ = plat::clock().nowMs();
  if (identityCardKey(input_text, key, text)) pay(input_text);
}

void TfmIdentityCard::pay(const QString& card_no) {
  TIdentityCardPayment r;
  try {
    TBusy busy(*this);
    // An account must never be charged for nothing or refunded from here.
    if (!(sale.payment_amount > 0)) throw Exception(QString::fromUtf8(kBadPaymentAmount));
    if (!kernel_api) throw Exception(QStringLiteral("Нет связи с сервером."));
    r = kernel_api->identityCardPayment(int(vm_id), card_no, sale.payment_amount, kTimeout);
    if (!r.payment_done) throw Exception(insufficientBalanceText(r.initial_balance));
  } catch (const std::exception& e) {
    input_text.clear();
    // The message is a modal wait of its own: the idle time starts after it.
    tmIdle->stop();
    if (showMessage) showMessage(exceptionMessage(e));
    if (!ended()) restartIdle();
    return;
  }
  tmIdle->stop();
  TCheckoutSale s = sale;
  s.method = TPaymentMethod::IdentityCard;
  s.cardProject_id = cardProject_id;
  s.card_no = card_no;
  s.final_balance = r.final_balance;
  paid(s);
}

// ---- the cart's operations ----------------------------------------------------

namespace {

template <class Screen>
int runAccountScreen(TPaymentMethod method, const std::function<void(Screen&)>& prepare) {
  TfmRecycle* cart = fmRecycle;
  if (!cart) return TAccountPaymentScreen::mrCancel;
  TCheckoutSale sale = cart->checkoutSale(method);
  if (!(sale.payment_amount > 0)) throw Exception(QString::fromUtf8(kBadPaymentAmount));
  Screen form(cart);
  form.sale = std::move(sale);
  form.checkout = [](const TCheckoutSale& s) { runKioskCheckout(s, false); };
  if (prepare) prepare(form);
  const int r = form.exec();
  return r == TAccountPaymentScreen::mrOk ? TAccountPaymentScreen::mrOk
                                          : TAccountPaymentScreen::mrCancel;
}

}  // namespace

int runYandexBadgeScreen() {
  return runAccountScreen<TfmYandexBadge>(TPaymentMethod::YandexBadge, {});
}

int runIdentityCardScreen() {
  return runAccountScreen<TfmIdentityCard>(TPaymentMethod::IdentityCard, [](TfmIdentityCard& f) {
    if (fmMain) f.cardProject_id = fmMain->cardProject_id;
  });
}
