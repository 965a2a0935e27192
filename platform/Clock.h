#pragma once
// Monotonic clock for every duration and time-out. Tests replace it so that a
// three-minute limit takes milliseconds.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace plat {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t nowMs() const = 0;  // monotonic milliseconds
  virtual void sleepMs(int64_t ms) = 0;
  // How long a thread waiting for ms of this clock to pass may really sleep
  // before it looks at the clock again. A replaced clock may run at any
  // pace, so it is looked at every few milliseconds; the real clock lets a
  // waiting thread sleep the whole time, so that an idle kiosk is not woken
  // for nothing.
  virtual int64_t realWaitMs(int64_t ms) const { return std::clamp<int64_t>(ms, 1, 10); }
};

// The process-wide clock; the real steady clock unless a test installed another.
Clock& clock();
// Installs c (nullptr restores the real clock). Not owned.
void setClock(Clock* c);

// A clock that only moves when told to; sleepMs advances it at once.
class ManualClock : public Clock {
 public:
  int64_t nowMs() const override;
  void sleepMs(int64_t ms) override;
  void advance(int64_t ms);

 private:
  std::atomic<int64_t> now_{1'000'000};
};

// Waits on cv, whose lock the caller holds, until done() holds or the clock
// reaches deadlineMs. True when done() holds. A notify of cv makes it look at
// done() at once.
template <typename Done>
bool waitUntilMs(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 int64_t deadlineMs, Done done) {
  for (;;) {
    if (done()) return true;
    const int64_t left = deadlineMs - clock().nowMs();
    if (left <= 0) return false;
    cv.wait_for(lock, std::chrono::milliseconds(clock().realWaitMs(left)));
  }
}

}  // namespace plat
