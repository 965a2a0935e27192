#pragma once
// The thanks screen that ends every successful sale. After a card or SBP
// payment on a kiosk whose back office switches fiscal checks on, a worker
// has the back office register the sale on the cash register and the screen
// shows the receipt as a QR code that a phone can check.
//
// The screen always closes by itself: the code is drawn from memory, and the
// copy kept as qr.bmp in the data folder is only a by-product.
//
// The customer may close the screen while the check is being made; the sale
// is paid, so its check goes on in the background within its tries. The
// program's close stops such checks, each of which then reports its check
// undone, and waits for them to end before a new copy may take over.

#include <QDialog>
#include <QImage>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "backoffice/KernelAPI.h"
#include "kiosk/ClientInterrupt.h"
#include "screens/PaymentThreads.h"
#include "screens/SaleWorkers.h"

class IEventSink;
class QLabel;
class QTimer;
class TBusyIndicator;
class TJClient;
class TRectangle;

// Re-prices a sale report's goods so that they add up, in whole kopecks, to
// the amount paid: every unit price is cut to the kopeck in proportion, the
// kopecks left over go to the first position, and when they do not divide
// among its units one unit is split off into a position of its own at the
// end. Prices never drop below zero.
void distributePaymentAmount(std::vector<TSaleReportPosition>& goods, double payment_amount);

// The receipt code's text: "t=" yyyyMMddThhmm, "&s=" the amount with two
// decimals and ".", "&fn=", "&i=", "&fp=", "&n=1". The same on every locale.
QString receiptQrText(const TCheckInfo& check, double payment_amount);

// A QR code of the text, error correction L, one pixel per module and a
// quiet zone of one module. Raises when the text does not fit a code.
QImage generateQRCode(const QString& text);

// What the fiscal-check worker needs; copied on the main thread.
struct TCheckCreationSetup {
  // The main client, whose connection settings the worker's own client
  // copies on the main thread.
  const TJClient* mainClient = nullptr;
  QString pmVmId;  // the machine id in decimal
  std::vector<TSaleReportPosition> goods;
  double payment_amount = 0;
  // Where the check undone is reported; null: nowhere. Shared, because the
  // worker may end after the screen and the main form's call that made it.
  std::shared_ptr<IEventSink> events;
  std::function<void(const QString&)> log;
  int retryPauseMs = 500;    // between tries of the check
  int resendPauseMs = 1500;  // before each resend waiting for the fiscal data
};

// Builds the setup from the cart's lines: one position per line, re-priced
// to the amount paid.
TCheckCreationSetup makeCheckCreationSetup(const std::vector<TSaleLine>& lines,
                                           double payment_amount, qint64 vm_id);

// Has the back office create the sale's fiscal check (request 53 for the firm
// id and request 1068, up to 7 tries), then resends the same report up to
// twice while the check has no fiscal document number yet. A check that is
// not made is reported as event 1: after the last try, and at once when a
// stop (the program's close) breaks the tries off, so that the back office
// learns of every paid sale left without its check. When a report went out
// whole and its answer never came, the event says that the check may exist.
class TCheckCreationThread {
 public:
  static constexpr int kTries = 7;
  static constexpr int kResends = 2;
  static constexpr int kTimeout = 30;  // seconds, every request
  static constexpr int kFirmIdConst = 1002;

  // Starts a worker, on the main thread (which it never needs again). The
  // group of background checks owns it from the start until it has ended,
  // whatever becomes of the screen that started it; the program's close
  // stops it there.
  static std::shared_ptr<TCheckCreationThread> start(TCheckCreationSetup setup);
  ~TCheckCreationThread();
  TCheckCreationThread(const TCheckCreationThread&) = delete;
  TCheckCreationThread& operator=(const TCheckCreationThread&) = delete;

  // Stops between tries, and breaks off the request in flight: it fails at
  // once, and so does every later one of this worker.
  void requestStop();
  bool finished() const { return finished_.load(std::memory_order_acquire); }
  // Valid once finished(): the check (id and fdNumber 0 when none) and the
  // message of the last failed try.
  TCheckInfo checkInfo() const { return finished() ? checkInfo_ : TCheckInfo{}; }
  QString check_creation_error() const { return finished() ? error_ : QString(); }
  // Requests 1068 sent, for tests and the log.
  int reportsSent() const { return reportsSent_.load(); }

  // Every worker started, its screen open or not.
  static TSaleWorkers& running();
  // Waits until every worker has ended, at most timeoutMs of plat::clock();
  // false when some still runs.
  static bool waitForAll(int64_t timeoutMs);
  // Stops every worker (requestStop) and waits for them as waitForAll does.
  static bool stopAll(int64_t timeoutMs);

 private:
  explicit TCheckCreationThread(TCheckCreationSetup setup);
  void Execute();
  // Sleeps, waking early for a stop; false when stopped.
  bool pause(int ms);

  TCheckCreationSetup setup_;
  std::unique_ptr<TJClient> client_;  // assigned on the main thread, used by the worker
  TClientInterrupt interrupt_;
  TCheckInfo checkInfo_;
  QString error_;
  std::atomic<int> reportsSent_{0};
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::condition_variable cv_;
  std::atomic<bool> finished_{false};
};

class TfmGratitude : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kThanksOnlyMs = 5000;
  static constexpr int kNoReceiptMs = 50;

  // FormCreate. Takes the machine id, the main client, the code delay, the
  // data folder, the event queue, the log and the "create_checks" setting
  // from the main form when there is one.
  explicit TfmGratitude(QWidget* parent = nullptr);
  ~TfmGratitude() override;

  // Set by the caller before showing.
  bool disable_check_creation = false;
  QString balance_message;
  std::vector<TSaleLine> goods;  // the cart's lines
  double payment_amount = 0;     // the cart's payment_amount
  const TJClient* mainClient = nullptr;
  bool create_checks = false;  // the setting "create_checks" is 1
  qint64 vm_id = 0;
  int vekta_qr_code_delay = 10;  // seconds
  QString dataFolder;            // where qr.bmp goes
  std::shared_ptr<IEventSink> events;
  std::function<void(const QString&)> log;
  // Pauses of the worker (tests shorten them).
  int retryPauseMs = 500;
  int resendPauseMs = 1500;

  // What the worker brought back (read after it ended).
  QString check_creation_error;
  TCheckInfo checkInfo;
  QImage QRCodeBitmap;
  QString receiptText;  // the text of the code shown; empty when none
  double screen_height = 0;

  TCheckCreationThread* checkCreationThread() const { return worker_.get(); }

  // Components.
  TRectangle* pnTop;
  QLabel* lbGratitude;
  TRectangle* line;
  TRectangle* btClose;
  QLabel* lbCheck;
  TBusyIndicator* AniIndicator;
  QTimer* tmClose;
  QTimer* tmCheck;
  QLabel* imQRCode;
  TRectangle* pnSerialNumber;
  QLabel* lbSerialNumber;
  QLabel* lbSupportPhone;

 public slots:
  void tmCheckTimer();
  void tmCloseTimer();
  void btCloseMouseDown();

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void done(int r) override;

 private:
  void FormShow();
  // The layout and the check's start.
  void FormShowSteps();
  void FormClose();
  void showReceipt();

  // Shared with the group of background checks: a worker still running when
  // the screen closes goes on there.
  std::shared_ptr<TCheckCreationThread> worker_;
  bool shown_ = false;
  bool closing_ = false;
};

// The screen while it is shown; null otherwise.
extern TfmGratitude* fmGratitude;
