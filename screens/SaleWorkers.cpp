#include "screens/SaleWorkers.h"

#include <algorithm>

#include "platform/Clock.h"

TSaleWorkers::~TSaleWorkers() {
  requestStopAll();
  joinAll();
}

void TSaleWorkers::start(std::function<void()> work, std::function<void()> stop) {
  std::unique_lock lock(m_);
  // A kiosk runs for months: the workers of earlier sales go here.
  reapEnded(lock);
  Worker& w = workers_.emplace_back();
  w.stop = std::move(stop);
  try {
    w.thread = std::thread([this, &w, work = std::move(work)]() mutable {
      work();
      work = nullptr;
      std::function<void()> stop;
      {
        std::lock_guard l(m_);
        stop = std::move(w.stop);
      }
      // What the worker held (its client, its sinks) goes before it counts as
      // ended: whoever waited for it may free what that refers to.
      stop = nullptr;
      // Notified under the lock: a waiter that sees the worker ended may
      // destroy the group at once, condition variable included.
      std::lock_guard l(m_);
      w.ended = true;
      cv_.notify_all();
    });
  } catch (...) {
    workers_.pop_back();
    throw;
  }
}

void TSaleWorkers::requestStopAll() {
  std::lock_guard lock(m_);
  for (Worker& w : workers_)
    if (!w.ended && w.stop) w.stop();
}

bool TSaleWorkers::waitForAll(int64_t timeoutMs) {
  std::unique_lock lock(m_);
  const bool all =
      plat::waitUntilMs(cv_, lock, plat::clock().nowMs() + std::max<int64_t>(0, timeoutMs), [this] {
        return std::all_of(workers_.begin(), workers_.end(),
                           [](const Worker& w) { return w.ended; });
      });
  reapEnded(lock);
  return all;
}

void TSaleWorkers::joinAll() {
  std::unique_lock lock(m_);
  // Not on plat::clock(): a test's clock may stand still, or be gone at the
  // program's exit.
  cv_.wait(lock, [this] {
    return std::all_of(workers_.begin(), workers_.end(), [](const Worker& w) { return w.ended; });
  });
  reapEnded(lock);
}

int TSaleWorkers::running() {
  std::lock_guard lock(m_);
  return int(
      std::count_if(workers_.begin(), workers_.end(), [](const Worker& w) { return !w.ended; }));
}

void TSaleWorkers::reapEnded(std::unique_lock<std::mutex>& lock) {
  std::list<Worker> ended;
  for (auto it = workers_.begin(); it != workers_.end();) {
    auto next = std::next(it);
    if (it->ended) ended.splice(ended.end(), workers_, it);
    it = next;
  }
  if (ended.empty()) return;
  // An ended worker's thread only leaves the lock and returns: joining it is
  // quick, but done without the lock all the same.
  lock.unlock();
  for (Worker& w : ended) w.thread.join();
  lock.lock();
}
