#pragma once
// Reports a paid purchase to the loyalty service after the customer has left
// the payment screen: the operation (request 1102, unless points were written
// off, when the operation was already registered before the payment) and its
// submission (request 1103). One thread per purchase; it frees itself, and a
// failure is only written to the local text log.

#include <QString>
#include <functional>
#include <memory>

#include "backoffice/KernelAPI.h"
#include "kiosk/ClientInterrupt.h"

class TJClient;

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

  // Starts the worker, which deletes the object when it ends. The object
  // must have been created with new and is not touched by the caller after.
  void start();
  // The submission itself, on the calling thread.
  void Execute();

  // Waits until every started submission thread has ended; false when
  // timeoutMs (of plat::clock()) passed first. The program calls it before it
  // ends, tests after a sale.
  static bool waitForAll(int64_t timeoutMs);
  // Breaks off every submission still running: the request in flight fails
  // at once, and so does every later one, so each thread ends with its
  // failure in the log. Then waits for them as waitForAll does.
  static bool stopAll(int64_t timeoutMs);

 private:
  TClientInterrupt stop_;
};

// createLoyalityCardSubmitThread of the main form: the card number, the
// amount paid and the points written off, with the main form's client,
// vm_id, loyalty card and the cart's positions. Main thread only.
void createLoyalityCardSubmitThread(const QString& card_no, double amount, double cashback);
