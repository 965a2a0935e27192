#include "devices/LogLimiter.h"

#include <QStringList>

#include "platform/Clock.h"

namespace {

QString withCount(const QString& line, int64_t repeats) {
  return QStringLiteral("%1 (repeated %2 times)").arg(line).arg(repeats);
}

}  // namespace

TLogLimiter::TLogLimiter(std::function<void(const QString&)> sink) : sink_(std::move(sink)) {}

void TLogLimiter::log(const QString& line) {
  QStringList out;
  {
    std::lock_guard lock(mu_);
    const int64_t now = plat::clock().nowMs();
    if (line == last_ && lastShownMs_ != 0) {
      ++heldBack_;
      if (now - lastShownMs_ < kIntervalMs) return;
      out << withCount(line, heldBack_);
    } else {
      // The repeats held back of the line before still get their count.
      if (heldBack_ > 0) out << withCount(last_, heldBack_);
      out << line;
    }
    last_ = line;
    lastShownMs_ = now;
    heldBack_ = 0;
  }
  if (!sink_) return;
  for (const QString& l : out) sink_(l);
}
