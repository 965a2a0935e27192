#pragma once

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <thread>

namespace testkit {

// Waits for pred while pumping the main thread's events, as the kiosk's loop
// would; false when limit passes first.
inline bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  using Steady = std::chrono::steady_clock;
  const auto end = Steady::now() + limit;
  while (!pred()) {
    if (Steady::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testkit
