#pragma once
// The card payment apart from its screen: the worker that takes the money on
// the card terminal, the worker that tries to abort it, and the decisions the
// screen takes on their results. Everything here runs without widgets, so the
// paths (approval, refusal, a close while the terminal works) can be driven
// by tests against the simulated terminals.
//
// Rule of the close path: a payment that the terminal approved is a sale,
// whatever happens around it. The outcome is the payment worker's own result,
// read after it has ended; an answer to the abort never counts as a payment,
// and the checkout runs at most once.

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "kiosk/Main.h"
#include "kiosk/Products.h"

class TLogThread;
class TSberDevice;
class TVendotek;

// One cart line as the payment and the receipt see it.
struct TSaleLine {
  TProduct product;
  int quantity = 0;
};

// The lines of any cart container whose elements have `product` and `quantity`
// (the cart's TSelectedGood lines, for one).
template <class Lines>
std::vector<TSaleLine> toSaleLines(const Lines& lines) {
  std::vector<TSaleLine> out;
  for (const auto& l : lines) out.push_back({l.product, l.quantity});
  return out;
}

// The PIN pad's own abort command. Without one (no pad driver) only the
// bridge's abort marker is written.
class IPinPadAbort {
 public:
  virtual ~IPinPadAbort() = default;
  // Sends the abort and returns the pad's answer word, waiting at most
  // timeoutMs for it. Raises when the pad does not answer.
  virtual int abort_operation(int timeoutMs) = 0;
};

class TD200Sberbank;

// The abort through the pad's own protocol. The pad's port is closed again
// after every attempt, so that the bank library running the payment can go
// on with it.
class TD200PinPadAbort : public IPinPadAbort {
 public:
  explicit TD200PinPadAbort(TD200Sberbank& pad) : pad_(pad) {}
  int abort_operation(int timeoutMs) override;

 private:
  TD200Sberbank& pad_;
};

// What a card payment needs from the kiosk. The lines are a copy taken on the
// main thread, so the workers never read the cart.
struct TCardPaymentSetup {
  TPOSType pos_type = ptNone;
  TVendotek* vendotek = nullptr;
  TSberDevice* sberPinPad = nullptr;
  IPinPadAbort* pinPad = nullptr;           // null: no abort command for the pad
  TLogThread* events = nullptr;             // sale and payment-error events; null: dropped
  std::function<void(const QString&)> log;  // the local text log; may be empty

  double payment_amount = 0;  // roubles
  double discountCoeff = 1;   // the cart's getDiscountCoeff
  std::vector<TSaleLine> lines;
  // What the sale adds to the counters (saleCountDelta), recorded in one
  // step with its events; empty: the events alone.
  QStringList saleCount;
};

// Takes payment_amount on the terminal and, once approved, queues one sale
// event per unit sold. Starts running when created; the destructor waits.
class TPaymentThread {
 public:
  static constexpr uint16_t kNotApproved = 65535;
  static constexpr int kPollMs = 50;  // looks at the Vendotek driver's flags

  // terminate_pay_process is handed to the bridge run; it must outlive the thread.
  TPaymentThread(const TCardPaymentSetup& setup, const std::atomic<bool>& terminate_pay_process);
  ~TPaymentThread();
  TPaymentThread(const TPaymentThread&) = delete;
  TPaymentThread& operator=(const TPaymentThread&) = delete;

  bool finished() const { return finished_.load(std::memory_order_acquire); }
  // 0 once the terminal approved, kNotApproved before and after a failure.
  uint16_t result_code() const { return result_code_.load(std::memory_order_acquire); }
  // The failure's message; read it only after finished().
  QString error() const { return finished() ? error_ : QString(); }
  // Waits until the worker has ended.
  void waitFor();

 private:
  void Execute();
  void takePayment();
  void queueSaleEvents();

  TCardPaymentSetup setup_;
  const std::atomic<bool>& terminate_;
  std::atomic<uint16_t> result_code_{kNotApproved};
  QString error_;  // written before finished_ is set
  std::atomic<bool> finished_{false};
  std::thread thread_;  // last: starts once every field above exists
};

// Tries to stop a payment that the Sberbank terminal is running: the bridge's
// abort marker, then the pad's own abort command, retried for a bounded time.
// What the pad answers is only logged: the payment worker's own result
// decides whether the customer paid.
class TAbortThread {
 public:
  static constexpr int kAttempts = 10;
  static constexpr int64_t kLimitMs = 15000;  // every attempt together
  static constexpr int64_t kRetryPauseMs = 100;

  explicit TAbortThread(const TCardPaymentSetup& setup);
  ~TAbortThread();
  TAbortThread(const TAbortThread&) = delete;
  TAbortThread& operator=(const TAbortThread&) = delete;

  bool finished() const { return finished_.load(std::memory_order_acquire); }
  // The pad's answer to the abort; -1 when it gave none.
  int padAnswer() const { return pad_answer_.load(); }
  int attempts() const { return attempts_.load(); }

 private:
  void Execute();
  void log(const QString& text) const;

  TCardPaymentSetup setup_;
  std::atomic<int> pad_answer_{-1};
  std::atomic<int> attempts_{0};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

// The card screen's decisions. The screen polls it from its timer and calls
// close() when it is closed from outside.
class TCardPayment {
 public:
  static constexpr int kWaitStepMs = 10;  // the close path's look at the workers

  explicit TCardPayment(TCardPaymentSetup setup);
  ~TCardPayment();

  const TCardPaymentSetup& setup() const { return setup_; }

  // Starts the payment worker (once).
  void start();
  bool started() const { return thread_ != nullptr; }
  bool finished() const { return thread_ && thread_->finished(); }
  bool approved() const { return thread_ && thread_->result_code() == 0; }
  const TPaymentThread* paymentThread() const { return thread_.get(); }

  // A close from outside while the payment may run: for a Sberbank terminal
  // the abort attempt runs first; then it waits until the payment worker has
  // ended. pump runs between looks (the screen processes its events there).
  void close(const std::function<void()>& pump);
  // Whether the abort was tried on the last close.
  bool abortTried() const { return abort_tried_; }

  // True exactly once, for an approved payment whose worker has ended: the
  // caller then runs the checkout. Any later call says false.
  bool takeCheckout();
  bool checkoutTaken() const { return checkout_taken_; }

  // The failure as the screen shows it: the worker's message, or "Ошибка "
  // and the result code, cut before its first ".".
  QString failureText() const;
  static QString cutAtFirstDot(const QString& text);
  // The second error line is shown only when the text says more than the fixed first line.
  static bool showsSecondLine(const QString& cutText);

  // The screen's abort flag for the bridge run; nothing sets it.
  std::atomic<bool> terminate_pay_process{false};

 private:
  TCardPaymentSetup setup_;
  std::unique_ptr<TPaymentThread> thread_;
  bool abort_tried_ = false;
  bool checkout_taken_ = false;
};

// The fixed first error line of a failed payment.
inline constexpr const char* kPaymentFailed = "Не удалось совершить платёж";
// A payment of zero or less never reaches a terminal.
inline constexpr const char* kBadPaymentAmount = "Сумма к оплате должна быть больше нуля.";
