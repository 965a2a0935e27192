#pragma once
// Real time sped up: time-outs of seconds pass in tens of milliseconds, while
// sockets and threads still run at their own pace. It starts where the real
// clock stands, so a connection made before it is installed does not look
// idle for ages (or from the future) afterwards.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/Clock.h"

namespace testkit {

class FastClock : public plat::Clock {
 public:
  explicit FastClock(int factor) : factor_(factor), base_(realMs()) {}
  int64_t nowMs() const override { return base_ + (realMs() - base_) * factor_; }
  void sleepMs(int64_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms / factor_));
  }

 private:
  static int64_t realMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  int factor_;
  int64_t base_;
};

// Real time, as the program's own clock, that counts how often it is read:
// a thread that waits wakes up to read it, so the count shows how often
// a waiting thread is woken.
class CountingClock : public plat::Clock {
 public:
  int64_t nowMs() const override {
    ++reads_;
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void sleepMs(int64_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  int64_t realWaitMs(int64_t ms) const override { return ms < 1 ? 1 : ms; }
  int reads() const { return reads_; }

 private:
  mutable std::atomic<int> reads_{0};
};

// Installs a clock for one scope and puts the real one back.
class ClockScope {
 public:
  explicit ClockScope(plat::Clock* c) { plat::setClock(c); }
  ~ClockScope() { plat::setClock(nullptr); }
  ClockScope(const ClockScope&) = delete;
  ClockScope& operator=(const ClockScope&) = delete;
};

}  // namespace testkit
