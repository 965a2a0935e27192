#pragma once
// What the kiosk does once a payment was approved: the sale events, the
// counters, the payment module, the loyalty submission, the sound, the cup
// confirmations and the thanks screen, always in that order.
//
// An approved payment is a sale. Whatever fails after the approval is logged
// and queued as an information event, the remaining steps still run, and the
// payment screen still ends as paid, so the cart is cleared and the customer
// is never asked to pay a second time.
//
// The steps reach the kiosk through ICheckoutSteps, so tests replace them.

#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>
#include <vector>

#include "kiosk/Counters.h"
#include "kiosk/Products.h"

// The payment methods, in the order the cart offers them.
enum class TPaymentMethod { Card, SBP, YandexBadge, IdentityCard };

// The payment source of a sale event: 2 card, 7 SBP, 8 badge, 4 identity card.
int creditSourceOf(TPaymentMethod method);
// Identity-card sales count on the badge counter.
TCounterKind counterKindOf(TPaymentMethod method);

// How the thanks screen is set up after a sale.
struct TGratitudeSetup {
  bool disable_check_creation = false;
  QString balance_message;  // empty: none
};

// Everything the checkout reads of a sale, copied from the cart before the
// payment screen closes.
struct TCheckoutSale {
  TPaymentMethod method = TPaymentMethod::Card;
  std::vector<TSelectedGood> lines;
  double total_amount = 0;
  double discount = 0;  // loyalty discount
  double cashback = 0;  // points written off
  double payment_amount = 0;
  double discountCoeff = 1;  // payment_amount / total_amount
  // Loyalty card active at the time of payment, and its number.
  bool loyaltyCardActive = false;
  QString loyaltyCardNo;
  // Values of the SBP and identity-card sale events (null when absent).
  QVariant loyaltySystem_id;
  QVariant cardProject_id;
  QVariant card_no;
  // The identity card's balance after the payment, for the thanks screen.
  double final_balance = 0;
};

// One unit sold (event 46).
struct TSaleEvent {
  int creditSource_id = 0;
  double amount = 0;  // roubles, as computed (not rounded)
  int cell = 0;
  int nomenclature_id = 0;
  QVariant cardProject_id;
  QVariant card_no;
  QVariant loyaltySystem_id;
  QVariant loayalty_card_no;
  QVariant discount;
};

// The sale events of a sale: one per unit of every line, in line order.
std::vector<TSaleEvent> saleEvents(const TCheckoutSale& sale);
// The discount handed to the counters: the loyalty discount plus the points
// for card and SBP, nothing for badge and identity card.
double counterDiscountOf(const TCheckoutSale& sale);
// How the thanks screen is set up for the method.
TGratitudeSetup gratitudeSetupOf(const TCheckoutSale& sale);
// The cart lines as the counters count them.
std::vector<TCounterLine> counterLinesOf(const std::vector<TSelectedGood>& lines);
// What the sale adds to the counters file (saleCountDelta).
QStringList saleCountOf(const TCheckoutSale& sale);

class ICheckoutSteps {
 public:
  virtual ~ICheckoutSteps() = default;
  virtual void queueSaleEvent(const TSaleEvent& event) = 0;
  // Queues the sale's events together with its count (what updateCounters
  // will add), so that a crash between the two loses neither. By default
  // each event on its own, a failed one reported through stepFailed.
  virtual void queueSale(const std::vector<TSaleEvent>& events, const QStringList& saleCount);
  virtual void updateCounters(const std::vector<TSelectedGood>& lines, TCounterKind kind,
                              double discount) = 0;
  // Whether drinks are handed to the machine's payment module after payment
  // (set, and no coffee machine of the kiosk's own); the module may be absent.
  virtual bool drinkAfterPayment() const = 0;
  // Credits one drink on the payment module; raises on failure.
  virtual void paymentModuleAddProduct(int cell) = 0;
  virtual void submitLoyalty(const QString& card_no, double amount, double cashback) = 0;
  // Plays a sound of the program's folder when the file exists.
  virtual void playSound(const QString& fileName) = 0;
  virtual bool carimaliMachine() const = 0;
  // The cup confirmation: true when the customer confirmed.
  virtual bool confirmCup(const TProduct& drink) = 0;
  virtual void prepareDrink(const TProduct& drink) = 0;
  virtual void showGratitude(const TGratitudeSetup& setup) = 0;
  // A step after the approval failed: log it and queue an information event.
  virtual void stepFailed(const QString& text) = 0;
};

// Tries per drink unit on the payment module.
inline constexpr int kPaymentModuleTries = 3;

// Runs the checkout of an approved payment. saleEventsQueued: the payment
// thread already queued the sale events (card). Never raises: a failed step
// is reported through stepFailed and the next step runs.
void runCheckout(const TCheckoutSale& sale, ICheckoutSteps& steps, bool saleEventsQueued);

// The text reported for a failed step.
QString checkoutErrorText(const QString& step, const QString& message);
// The text reported for a paid drink that was not made (the close ended its
// cup confirmation): the drink and the amount to refund.
QString keptDrinkText(const TProduct& drink, const TCheckoutSale& sale);

class TSaleInProgress;

// The steps of the running kiosk (the main form's event queue, counters,
// loyalty client and sounds). Main thread only.
class TKioskCheckoutSteps : public ICheckoutSteps {
 public:
  // The steps' lifetime is the sale's: a close asked for meanwhile waits
  // for its end.
  TKioskCheckoutSteps();
  ~TKioskCheckoutSteps() override;

  // The thanks screen for this sale; null: none is shown.
  std::function<void(const TGratitudeSetup&)> gratitude;

  void queueSaleEvent(const TSaleEvent& event) override;
  void queueSale(const std::vector<TSaleEvent>& events, const QStringList& saleCount) override;
  // Also drops the sale's journal once the counters have it.
  void updateCounters(const std::vector<TSelectedGood>& lines, TCounterKind kind,
                      double discount) override;
  bool drinkAfterPayment() const override;
  void paymentModuleAddProduct(int cell) override;
  void submitLoyalty(const QString& card_no, double amount, double cashback) override;
  void playSound(const QString& fileName) override;
  bool carimaliMachine() const override;
  bool confirmCup(const TProduct& drink) override;
  void prepareDrink(const TProduct& drink) override;
  void showGratitude(const TGratitudeSetup& setup) override;
  void stepFailed(const QString& text) override;

 private:
  std::unique_ptr<TSaleInProgress> sale_;
};

// Plays a sound file of the program's folder asynchronously when it exists.
void playProgramSound(const QString& fileName);
