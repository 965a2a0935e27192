#pragma once
// Keeps a device thread that fails the same way on every pass from flooding
// the log: a line that repeats the one before it is passed on at most once a
// minute, as "line (repeated N times)" with the repeats since it was last
// shown. A different line passes at once, after the count of the repeats of
// the line before that were still held back. Time comes from plat::clock().

#include <QString>
#include <cstdint>
#include <functional>
#include <mutex>

class TLogLimiter {
 public:
  static constexpr int64_t kIntervalMs = 60000;

  // sink receives the lines that pass; an empty sink drops them all.
  explicit TLogLimiter(std::function<void(const QString&)> sink);

  // Any thread may call it.
  void log(const QString& line);

 private:
  std::function<void(const QString&)> sink_;
  std::mutex mu_;
  QString last_;
  int64_t lastShownMs_ = 0;
  int64_t heldBack_ = 0;
};
