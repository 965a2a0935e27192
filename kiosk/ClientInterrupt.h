#pragma once
// A worker's back-office client, reachable from the thread that stops the
// worker: the stop interrupts the socket wait in flight (connect, handshake,
// reply) at once instead of sitting out its time-out, and every later wait
// of that client fails the same way, so a stop between two calls is not lost.
//
// The worker owns its client and attaches it for as long as it uses it;
// interrupt() may come from any thread, before, during or after that.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "backoffice/JClient.h"
#include "platform/Clock.h"

class TClientInterrupt {
 public:
  // Worker: from now on interrupt() reaches this client; an interrupt that
  // came earlier reaches it at once.
  void attach(TJClient* client) {
    std::lock_guard lock(m_);
    client_ = client;
    if (client_ && interrupted_) client_->interrupt();
  }
  // Worker, before the client goes.
  void detach() {
    std::lock_guard lock(m_);
    client_ = nullptr;
  }
  // Any thread.
  void interrupt() {
    std::lock_guard lock(m_);
    interrupted_ = true;
    if (client_) client_->interrupt();
  }

  // Attaches a client for the life of a scope.
  class Scope {
   public:
    Scope(TClientInterrupt& owner, TJClient* client) : owner_(owner) { owner_.attach(client); }
    ~Scope() { owner_.detach(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    TClientInterrupt& owner_;
  };

 private:
  std::mutex m_;
  TJClient* client_ = nullptr;
  bool interrupted_ = false;
};

// Caps a whole call of a client, where the client's timeout cap bounds each
// of its waits only (a reconnection alone is a connect, a greeting and a
// login): interrupts the client once ms of plat::clock() have passed, unless
// the scope has ended first. An interrupted client stays so.
class TClientDeadline {
 public:
  TClientDeadline(TJClient& client, int64_t ms)
      : client_(client), deadlineMs_(plat::clock().nowMs() + ms) {
    watch_ = std::thread([this] {
      std::unique_lock lock(m_);
      if (!plat::waitUntilMs(cv_, lock, deadlineMs_, [this] { return done_; })) client_.interrupt();
    });
  }
  ~TClientDeadline() {
    {
      std::lock_guard lock(m_);
      done_ = true;
    }
    cv_.notify_all();
    watch_.join();
  }
  TClientDeadline(const TClientDeadline&) = delete;
  TClientDeadline& operator=(const TClientDeadline&) = delete;

 private:
  TJClient& client_;
  const int64_t deadlineMs_;
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread watch_;  // last: starts once the rest is set
};
