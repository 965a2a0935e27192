#pragma once
// The card payment screen: shows the amount while the card terminal takes it,
// runs the checkout once the terminal approved, or shows why it did not and
// closes. The decisions live in TCardPayment (PaymentThreads.h); this form
// only shows them.
//
// Closing it from outside while the terminal works blocks the screen until
// the abort attempt and the payment have ended; an approval that arrives then
// still runs the whole checkout.

#include <functional>

#include "screens/PaymentScreen.h"
#include "screens/PaymentThreads.h"

class QLabel;
class QTimer;
class TRectangle;

// Plays a sound file of the program's folder asynchronously. onlyWhenPresent:
// skip a missing file without asking the player.
void PlayPaymentSound(const QString& fileName, bool onlyWhenPresent);

class TfmPay : public TPaymentScreen {
  Q_OBJECT
 public:
  static constexpr int kErrorDisplayMs = 2000;

  // FormCreate. Takes the terminal type and drivers, the event queue and the
  // local log from the main form when there is one; the opener sets the rest.
  explicit TfmPay(QWidget* parent = nullptr);
  ~TfmPay() override;

  // Set by the opener before showing.
  double payment_amount = 0;
  double total_amount = 0;
  double discount = 0;
  double cashback = 0;
  // The terminal, the events, the cart's lines and its discount coefficient
  // (payment_amount above is copied in when the screen is shown).
  TCardPaymentSetup setup;
  // The checkout after an approval: counters, payment module, loyalty,
  // "payment_ok.wav", cup confirmations and the thanks screen. A failure in
  // it is logged and queued; the sale stays paid.
  std::function<void()> checkout;
  // How sounds are played (tests listen here).
  std::function<void(const QString& fileName, bool onlyWhenPresent)> playSound = PlayPaymentSound;
  int errorDisplayMs = kErrorDisplayMs;
  // The press feedback (flash and user-action event); the main form's by default.
  std::function<void(QObject*)> buttonPressed;

  double screen_height = 0;

  TCardPayment* payment() const { return payment_.get(); }
  // Components.
  QLabel* image;
  QLabel* lbPayment;
  TRectangle* pnTop;
  QLabel* lbTop;
  TRectangle* btClose;
  QLabel* lbPaymentAmount;
  QLabel* lbErr1;
  QLabel* lbErr2;
  QTimer* tmPaymentResult;
  QLabel* lbLocation1;
  QLabel* lbLocation2;
  TRectangle* pnSerialNumber;
  QLabel* lbSerialNumber;
  QLabel* lbSupportPhone;
  QTimer* tmSound;
  QLabel* lbTotal;
  QLabel* lbDiscount;
  QLabel* lbCashback;

  // Stops the invitation sound, runs the checkout once and ends with ok.
  void show_gratitude_and_close();

 public slots:
  void tmPaymentResultTimer();
  void tmSoundTimer();

 protected:
  void showEvent(QShowEvent* e) override;
  // A close while the terminal works: the abort attempt, then the payment's
  // own result decides.
  bool stopWork() override;
  void paidWhileClosing() override { show_gratitude_and_close(); }
  void reportCheckoutFailure(const QString& text) override;

 private:
  void FormShow();
  void layoutForm();
  void showFailure();

  std::unique_ptr<TCardPayment> payment_;
  std::unique_ptr<IPinPadAbort> pinPadAbort_;
  bool shown_ = false;
};

// The screen while it is shown; null otherwise.
extern TfmPay* fmPay;
