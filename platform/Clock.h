#pragma once
// Monotonic clock for every duration and time-out. Tests replace it so that a
// three-minute limit takes milliseconds.

#include <atomic>
#include <cstdint>

namespace plat {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t nowMs() const = 0;  // monotonic milliseconds
  virtual void sleepMs(int64_t ms) = 0;
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

}  // namespace plat
