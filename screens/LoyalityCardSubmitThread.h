#pragma once
// Reports a paid purchase to the loyalty service after the customer has left
// the payment screen: the operation (request 1102, unless points were written
// off, when the operation was already registered before the payment) and its
// submission (request 1103). One thread per purchase, owned by the group of
// submissions until it has ended. Every submission that fails, on its own or
// because the program's close broke it off, is written to the local text log
// and queued as event 1, since the purchase then never reaches the loyalty
// service; it is not sent again.

#include <QString>
#include <atomic>
#include <functional>
#include <memory>

#include "backoffice/KernelAPI.h"
#include "kiosk/ClientInterrupt.h"

class IEventSink;
class TJClient;
class TSaleWorkers;

class TLoyalityCardSubmitThread {
 public:
  static constexpr int kTimeout = 30;

  // On the main thread: a client of its own with the main client's
  // connection settings (never its connection), and copies of what it sends.
  TLoyalityCardSubmitThread(const TJClient& mainClient, qint64 vm_id, TLoyalityCardInfo info,
                            TProductPositionArray positions);
  ~TLoyalityCardSubmitThread();
  TLoyalityCardSubmitThread(const TLoyalityCardSubmitThread&) = delete;
  TLoyalityCardSubmitThread& operator=(const TLoyalityCardSubmitThread&) = delete;

  std::unique_ptr<TJClient> JClient;
  qint64 vm_id = 0;
  QString card_no;
  double amount = 0;    // paid, roubles
  double cashback = 0;  // points written off in this purchase
  TLoyalityCardInfo info;
  TProductPositionArray positions;
  // The local text log; called on the worker thread.
  std::function<void(const QString&)> log;
  // Where a submission that failed is reported; null: nowhere.
  // Shared, because the worker may end after the main form's call that
  // made it.
  std::shared_ptr<IEventSink> events;

  // Starts the submission on a thread of its own; the group of submissions
  // owns it until it has ended.
  static void start(std::unique_ptr<TLoyalityCardSubmitThread> submission);
  // The submission itself, on the calling thread.
  void Execute();
  // Breaks the submission off: the request in flight fails at once, and so
  // does every later one. Any thread.
  void requestStop();

  // Every submission started.
  static TSaleWorkers& running();
  // Waits until every started submission has ended; false when timeoutMs
  // (of plat::clock()) passed first.
  static bool waitForAll(int64_t timeoutMs);
  // Breaks off every submission still running, so each ends with its
  // failure in the log and its event queued, then waits for them as
  // waitForAll does.
  static bool stopAll(int64_t timeoutMs);

 private:
  // The event of a submission that failed, with the reason.
  QString undoneText(const QString& reason, bool answerLost) const;

  TClientInterrupt stop_;
  std::atomic<bool> stopRequested_{false};
};

// createLoyalityCardSubmitThread of the main form: the card number, the
// amount paid and the points written off, with the main form's client,
// vm_id, loyalty card and the cart's positions. Main thread only.
void createLoyalityCardSubmitThread(const QString& card_no, double amount, double cashback);
