#pragma once
// The two payment screens that charge an account kept by the back office:
// the Yandex badge (request 1097 with the cart's positions) and the identity
// (bonus-programme) card read on the keyboard-wedge reader (request 1100 with
// the card number and the amount). Both send the request from the main
// thread while the screen waits, as the back office answers within 30 s.
//
// A payment the back office accepted is a sale: the checkout runs and the
// screen ends as paid, whatever fails after the acceptance.

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

#include "backoffice/KernelAPI.h"
#include "kiosk/Common.h"
#include "screens/Checkout.h"
#include "screens/PaymentScreen.h"

class IEventSink;
class QLabel;
class QTimer;
class TRectangle;

// The back office's text for a badge that was not presented in time.
inline constexpr const char* kBadgeCardTimeout = "Истекло время ожидания платежной карты";

// What one badge try leads to. error: none when the back office accepted.
enum class TBadgeTryOutcome { Paid, Retry, Failed };
TBadgeTryOutcome badgeTryOutcome(int attempt, const std::optional<QString>& error);

// One key released on the identity-card screen: digits collect, any other
// character starts over, Enter or line feed completes a non-empty number.
// Returns true when the number in input_text is complete.
bool identityCardKey(QString& input_text, int key, const QString& text);

// "Недостаточный баланс (" + the balance + " ₽).".
QString insufficientBalanceText(double initial_balance);

// What both screens share: the components, the layout and the checkout.
class TAccountPaymentScreen : public TPaymentScreen {
  Q_OBJECT
 public:
  static constexpr int kTimeout = 30;  // seconds, every request

  ~TAccountPaymentScreen() override;

  // Set by the opener before showing: the cart's lines and amounts.
  TCheckoutSale sale;
  // The back office (the main form's; main thread only) and the machine.
  TKernelAPI* kernel_api = nullptr;
  qint64 vm_id = 0;
  IEventSink* events = nullptr;
  std::function<void(const QString&)> log;
  // The checkout of the paid sale. A failure in it is logged and queued;
  // the sale stays paid.
  std::function<void(const TCheckoutSale&)> checkout;
  std::function<void(const QString& fileName, bool onlyWhenPresent)> playSound;
  // The press feedback (flash and user-action event); the main form's by default.
  std::function<void(QObject*)> buttonPressed;

  double screen_height = 0;
  // The sale as the checkout got it (with the card's values).
  const TCheckoutSale& paidSale() const { return paid_sale_; }

  // Components.
  TRectangle* pnSerialNumber;
  QLabel* lbSerialNumber;
  QLabel* lbSupportPhone;
  TRectangle* pnTop;
  QLabel* lbTop;
  TRectangle* btClose;
  QLabel* lbLocation1;
  QLabel* image;
  QLabel* lbErr1;
  QLabel* lbErr2;
  QLabel* lb1;
  QLabel* lbAmount;
  QTimer* tmStart;

 public slots:
  void btCloseMouseDown();

 protected:
  TAccountPaymentScreen(QWidget* parent, const QString& location, TPicture picture,
                        bool locationRightAbove);
  void showEvent(QShowEvent* e) override;
  virtual void FormShow();
  void layoutForm();
  // Runs the checkout once and ends with ok.
  void paid(const TCheckoutSale& s);
  // The requests run on the main thread while the screen is busy, so a close
  // never finds one under way: there is nothing to stop.
  bool stopWork() override { return false; }
  void paidWhileClosing() override {}
  void reportCheckoutFailure(const QString& text) override;

 private:
  bool shown_ = false;
  bool location_right_above_;
  TCheckoutSale paid_sale_;
};

class TfmYandexBadge : public TAccountPaymentScreen {
  Q_OBJECT
 public:
  static constexpr int kTries = 3;
  static constexpr int kStartMs = 100;
  static constexpr int kErrorDisplayMs = 5000;

  explicit TfmYandexBadge(QWidget* parent = nullptr);
  ~TfmYandexBadge() override;

  int errorDisplayMs = kErrorDisplayMs;
  // Requests 1097 sent.
  int tries() const { return tries_; }

 public slots:
  void tmStartTimer();

 protected:
  void FormShow() override;

 private:
  void showError(const QString& message);
  int tries_ = 0;
};

class TfmIdentityCard : public TAccountPaymentScreen {
  Q_OBJECT
 public:
  static constexpr int kIdleLookMs = 1000;

  explicit TfmIdentityCard(QWidget* parent = nullptr);
  ~TfmIdentityCard() override;

  QString input_text;
  int cardProject_id = 0;
  // Shows a refusal or an error (by default for five seconds).
  std::function<void(const QString&)> showMessage;
  // The cart's idle time, in seconds (the main form's by default). The cart
  // waits under this screen with its own idle timer stopped: a customer who
  // walks away would leave the amount to pay for the next card scanned. So
  // this long without a key, the screen closes with cancel, as its close
  // button does, and the cart's own idle warning and reset take over.
  int vekta_recycle_warning_delay = 180;
  // Looks at the time since the last key (on the replaceable clock).
  QTimer* tmIdle;

  // A key released: collects the card number and pays when it is complete.
  void FormKeyUp(int key, const QString& text);

 public slots:
  void tmStartTimer();
  // Closes with cancel once the idle time has passed without a key; never
  // while a card is paid or the screen has ended.
  void tmIdleTimer();

 protected:
  void FormShow() override;
  void keyReleaseEvent(QKeyEvent* e) override;

 private:
  void pay(const QString& card_no);
  void restartIdle();

  int64_t last_key_ms_ = 0;
};

// The screens while they are shown; null otherwise.
extern TfmYandexBadge* fmYandexBadge;
extern TfmIdentityCard* fmIdentityCard;

// The screens for the cart now shown (fmRecycle): the modal result, 1 when
// paid and the checkout ran. Raise for an amount of zero or less.
int runYandexBadgeScreen();
int runIdentityCardScreen();
