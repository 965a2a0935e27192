#pragma once
// The Sberbank terminal's totals reconciliation (the bank's end of day),
// opened by the home screen every 12 hours. A worker runs it through the
// bridge while the customer sees a wait notice; the screen cannot be closed
// meanwhile. A success is recorded in the settings file, so that the next
// start of the program knows when the last one was.

#include <QDateTime>
#include <QDialog>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

class IEventSink;
class QLabel;
class QTimer;
class TBusyIndicator;
class TRectangle;
class TSberDevice;
class TSettingsStorage;

// Runs TSberDevice::revise_totals once. Starts when created; the destructor
// waits for it.
class TReviseTotalsThread {
 public:
  // log receives "revise_totals " and the message of a failure; may be empty.
  TReviseTotalsThread(TSberDevice* device, std::function<void(const QString&)> log);
  ~TReviseTotalsThread();
  TReviseTotalsThread(const TReviseTotalsThread&) = delete;
  TReviseTotalsThread& operator=(const TReviseTotalsThread&) = delete;

  bool finished() const { return finished_.load(std::memory_order_acquire); }
  // Read only after finished().
  bool done() const { return finished() && done_; }
  QString err() const { return finished() ? err_ : QString(); }

 private:
  void Execute();

  TSberDevice* device_;
  std::function<void(const QString&)> log_;
  bool done_ = false;
  QString err_;
  std::atomic<bool> finished_{false};
  std::thread thread_;  // last
};

// Where the outcome of a reconciliation goes.
struct TReviseTotalsRecord {
  TSettingsStorage* SS = nullptr;  // null: nothing stored
  QString iniFileName;             // the settings file to save
  IEventSink* events = nullptr;    // null: events dropped
  QDateTime* last_revise_totals_dt = nullptr;
};

// Records the outcome of a finished reconciliation and gives the screen's
// modal result: 1 after a success (the time kept, stored and saved; a failed
// save is only reported), 2 after a failure (the time unchanged).
int recordReviseTotals(const TReviseTotalsRecord& rec, bool done, const QString& err,
                       const QDateTime& now);

// A reconciliation that failed is not tried again at once: every try holds
// the kiosk behind the wait screen, so a terminal that cannot reconcile
// would otherwise keep customers out for good. Times are plat::clock() ms.
class TReviseTotalsRetry {
 public:
  static constexpr int64_t kRetryPauseMs = 600'000;

  bool allowed(int64_t nowMs) const { return !failed_ || nowMs - lastFailureMs_ >= kRetryPauseMs; }
  void failed(int64_t nowMs) {
    failed_ = true;
    lastFailureMs_ = nowMs;
  }
  void succeeded() { failed_ = false; }

 private:
  bool failed_ = false;
  int64_t lastFailureMs_ = 0;
};

class TfmReviseTotals : public QDialog {
  Q_OBJECT
 public:
  // Takes the bridge driver, the settings, the event queue and the log from
  // the main form when there is one; tests set the fields below instead.
  explicit TfmReviseTotals(QWidget* parent = nullptr);
  ~TfmReviseTotals() override;

  TSberDevice* sberPinPad = nullptr;
  TReviseTotalsRecord record;
  std::function<void(const QString&)> log;

  // The failure's message once the reconciliation failed.
  QString err;

  TRectangle* pnMain;
  QLabel* lb1;
  QLabel* lb2;
  TBusyIndicator* AniIndicator;
  QTimer* tmCheckThread;

  const TReviseTotalsThread* reviseTotalsThread() const { return reviseTotalsThread_.get(); }

 public slots:
  void tmCheckThreadTimer();
  void done(int r) override;

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void paintEvent(QPaintEvent* e) override;

 private:
  void FormShow();
  bool running() const;

  std::unique_ptr<TReviseTotalsThread> reviseTotalsThread_;
  bool shown_ = false;
};

extern TfmReviseTotals* fmReviseTotals;

// The reconciliation as the home screen runs it when due: the screen
// modally, unless the last failure was too recent for another try.
void openReviseTotals();
