#pragma once
// The push channel: a second connection to the back office, registered with
// the machine id, on which the back office sends request batches at any time
// (presence check, make an audit, reload the configuration) and the kiosk
// answers each with a reply batch. A worker thread owns the connection.
//
// The channel is set up again when the connection is lost once the machine
// id is known, and whenever the back office has been silent for 90 seconds:
// its presence checks keep a healthy channel alive.

#include <QString>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "kiosk/ClientInterrupt.h"

class TJClient;
class TRequest;

struct TPushContext {
  // Runs on the main thread at the start of every pass: copies the main
  // client's settings into the worker's client (TJClient::Assign) and gives
  // the machine id (0 while unknown).
  std::function<void(TJClient& client, qint64& vm_id)> synchronize;
  // Request 2, run on the main thread; the reply waits for it.
  std::function<void()> makeAudit;
  // Request 3, run on the main thread: the home screen reloads the
  // configuration at its next check.
  std::function<void()> refreshConfig;
  std::function<void(const QString&)> log;  // the local text log
};

class TTrevaloThread {
 public:
  static constexpr int kSilenceLimitS = 90;
  static constexpr int64_t kPassPauseMs = 250;
  static constexpr int64_t kFailurePauseMs = 5000;
  static constexpr uint16_t kRegistrationRequest = 1082;

  explicit TTrevaloThread(TPushContext context);
  // Stops the worker and waits for it (at most the exchange in flight).
  ~TTrevaloThread();
  TTrevaloThread(const TTrevaloThread&) = delete;
  TTrevaloThread& operator=(const TTrevaloThread&) = delete;

  void start();
  bool started() const { return worker_.joinable(); }
  // Asks the worker to end without waiting; it refuses hand-overs from then on.
  void terminate();

  // Acts on one pushed request; raises for a code the kiosk does not serve.
  void handlePushRequest(const TRequest& request);

 private:
  void run();
  // Waits ms on plat::clock(); false when asked to end meanwhile.
  bool pause(int64_t ms);
  void log(const QString& text) const;

  TPushContext ctx_;
  std::atomic<bool> terminated_{false};
  TClientInterrupt stop_;
  std::mutex m_;
  std::condition_variable wake_;
  std::thread worker_;
};

// Sends request 1082 with the machine id on the client's connection without
// reading a reply (connecting and logging in first when needed). On failure
// the batch is dropped and the error passed on.
void registerPushChannel(TJClient& client, qint64 vm_id);
