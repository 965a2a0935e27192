#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace plat {
namespace {

class SteadyClock : public Clock {
 public:
  int64_t nowMs() const override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  void sleepMs(int64_t ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  // An hour at most, so that a far deadline never overflows the wait.
  int64_t realWaitMs(int64_t ms) const override { return std::clamp<int64_t>(ms, 1, 3'600'000); }
};

SteadyClock g_steady;
std::atomic<Clock*> g_clock{&g_steady};

}  // namespace

Clock& clock() { return *g_clock.load(); }
void setClock(Clock* c) { g_clock.store(c ? c : &g_steady); }

int64_t ManualClock::nowMs() const { return now_; }
void ManualClock::sleepMs(int64_t ms) { advance(ms); }
void ManualClock::advance(int64_t ms) {
  if (ms > 0) now_ += ms;
}

}  // namespace plat
