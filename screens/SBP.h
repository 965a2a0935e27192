#pragma once
// The SBP (faster-payment) screen: the back office opens a QR payment
// session for the cart's amount, the screen shows the session's code for the
// customer's banking app, and a worker asks every second whether the session
// was paid, for at most three minutes from the moment the code was made.
//
// Rule of the close path: a session the back office reports paid is a sale.
// Before the screen gives up on a session (its close, or the time limit) it
// asks for the session's state once more, so a customer who pays at the last
// moment is not left with a payment and no sale. Closing the screen stops the
// worker and then follows its own last answer, so a "paid" that arrives while
// the screen closes still runs the checkout and ends the screen as paid; the
// checkout runs at most once.

#include <QImage>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "screens/PaymentScreen.h"

class IEventSink;
class QLabel;
class QTimer;
class TBusyIndicator;
class TJClient;
class TKernelAPI;
class TRectangle;

// What the worker makes of one status poll.
enum class TSbpPollOutcome { Pending, Paid, Refused, Expired };

// status: the back office's answer (none when the request failed); elapsedMs:
// time since the code was made. A paid answer counts even past the limit:
// the money is taken then.
TSbpPollOutcome sbpPollOutcome(std::optional<int> status, int64_t elapsedMs, int64_t limitMs);

// What the worker needs; copied on the main thread before it starts.
struct TSbpPaymentSetup {
  // The main client, whose connection settings the worker's own client
  // copies on the main thread.
  const TJClient* mainClient = nullptr;
  qint64 vm_id = 0;
  double payment_amount = 0;     // roubles
  IEventSink* events = nullptr;  // payment-error events (47); null: dropped
  std::function<void(const QString&)> log;
  int pollMs = 1000;         // pause before every status request
  int64_t limitMs = 180000;  // from the code made to giving up (plat::clock())
  int timeout = 180;         // seconds, every request
  // Seconds for the last look at the session before giving up: a closing
  // screen waits for it.
  int finalCheckTimeout = 5;
};

// Hand-overs of the worker, each run on the main thread while the worker
// waits. None runs once the worker was asked to stop.
struct TSbpHandovers {
  // The code is made: show it. Returns the reason it cannot be shown; empty
  // when it is shown.
  std::function<QString()> onQrCodeGenerated;
  std::function<void()> onPaymentDone;
  std::function<void()> onPaymentError;
};

// Opens the payment session and polls it. Starts running when created; the
// destructor asks it to stop and waits.
class TSbpPaymentThread {
 public:
  enum TTransactionResult { trStart, trQrCodeGenerated, trPaid, trError };

  TSbpPaymentThread(TSbpPaymentSetup setup, TSbpHandovers handovers);
  ~TSbpPaymentThread();
  TSbpPaymentThread(const TSbpPaymentThread&) = delete;
  TSbpPaymentThread& operator=(const TSbpPaymentThread&) = delete;

  // Stops without another request (the screen is going away).
  void requestStop();
  // Stops, asking for the session's state once more first unless the
  // outcome is already known: the screen gives up on the session.
  void giveUp();
  bool stopRequested() const { return stop_.load(); }
  void waitFor();
  bool finished() const { return finished_.load(std::memory_order_acquire); }
  TTransactionResult status() const { return status_.load(std::memory_order_acquire); }
  // Set before the code's hand-over; valid from trQrCodeGenerated on.
  QString qrCode() const;
  int64_t sessionID() const { return sessionID_.load(); }
  // The message of a failure to make or show the code; empty after a refused
  // or expired session. Valid once the status is trError.
  QString error() const { return status() == trError ? error_ : QString(); }
  // Status requests sent, answered or not.
  int polls() const { return polls_.load(); }

 private:
  void Execute();
  void fail(const QString& message, const QString& eventText);
  bool handOver(const std::function<void()>& fn);
  // Sleeps, waking early for a stop; false when stopped.
  bool pause(int ms);
  // One status request; none when it failed (queued as event 47).
  std::optional<int> poll(TKernelAPI& api, int64_t session, int timeout);

  TSbpPaymentSetup setup_;
  TSbpHandovers handovers_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  QString qrCode_;  // under m_
  std::atomic<int64_t> sessionID_{0};
  QString error_;  // written before the status becomes trError
  std::atomic<int> polls_{0};
  std::atomic<TTransactionResult> status_{trStart};
  std::atomic<bool> stop_{false};
  std::atomic<bool> final_check_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;  // last: starts once every field above exists
};

class TfmSBP : public TPaymentScreen {
  Q_OBJECT
 public:
  static constexpr int kErrorDisplayMs = 3000;
  static constexpr int kCloseQuestionSeconds = 5;
  static constexpr const char* kCloseQuestion =
      "Платёж ещё не поступил.\r\nБудет продолжено ожидание оплаты.";

  // FormCreate. Takes the main client, the machine id, the data folder, the
  // event queue and the local log from the main form when there is one.
  explicit TfmSBP(QWidget* parent = nullptr);
  ~TfmSBP() override;

  // Set by the opener before showing.
  double payment_amount = 0;
  double total_amount = 0;
  double discount = 0;
  double cashback = 0;
  // The worker's connection, machine and pacing (payment_amount above is
  // copied in when the screen is shown).
  TSbpPaymentSetup setup;
  QString dataFolder;  // where sbp.bmp goes
  // The checkout of the paid sale: events, counters, payment module,
  // loyalty, "payment_ok.wav", cup confirmations and the thanks screen. A
  // failure in it is logged and queued; the sale stays paid.
  std::function<void()> checkout;
  std::function<void(const QString& fileName, bool onlyWhenPresent)> playSound;
  // The close button's question: true to keep waiting (OK, or no answer
  // within five seconds).
  std::function<bool()> confirmKeepWaiting;
  int errorDisplayMs = kErrorDisplayMs;

  double screen_height = 0;
  QImage QRCodeBitmap;

  TSbpPaymentThread* paymentThread() const { return paymentThread_.get(); }

  // Components.
  TRectangle* pnTop;
  QLabel* lbTop;
  TRectangle* btClose;
  TRectangle* pnSerialNumber;
  QLabel* lbSerialNumber;
  QLabel* lbSupportPhone;
  QLabel* lbPaymentAmount;
  QLabel* lbPayment;
  QLabel* image;
  QLabel* lbErr1;
  QLabel* lbErr2;
  TBusyIndicator* AniIndicator;
  QLabel* lbQrCode;
  QLabel* imQRCode;
  QTimer* tmSound;
  QLabel* lbTotal;
  QLabel* lbDiscount;
  QLabel* lbCashback;

  // Draws text as the payment code, shows it and keeps a copy as sbp.bmp in
  // the data folder. Raises when the text cannot be drawn as a code.
  void generateQRCode(const QString& text);
  // Stops the invitation sound, runs the checkout once and ends with ok.
  void show_gratitude_and_close();

 public slots:
  void btCloseMouseDown();
  void tmSoundTimer();

 protected:
  void showEvent(QShowEvent* e) override;
  // Gives the session up (with its last look) and waits for the worker.
  bool stopWork() override;
  void paidWhileClosing() override { show_gratitude_and_close(); }
  void reportCheckoutFailure(const QString& text) override;

 private:
  void FormShow();
  void layoutForm();
  QString onQrCodeGenerated();
  void onPaymentDone();
  void onPaymentError();
  void log(const QString& text) const;

  std::unique_ptr<TSbpPaymentThread> paymentThread_;
  bool shown_ = false;
};

// The screen while it is shown; null otherwise.
extern TfmSBP* fmSBP;

// The SBP screen for the cart now shown (fmRecycle): its modal result, 1 when
// paid and the checkout ran. Raises for an amount of zero or less.
int runSbpPaymentScreen();
