#include "screens/PaymentImageCycle.h"

#include <algorithm>

TPaymentImageCycle::TPaymentImageCycle(int count) : count_(std::max(1, count)) {}

void TPaymentImageCycle::next(int64_t nowMs) {
  ind_ = (ind_ + 1) % count_;
  faded_in_ = false;
  shown_at_ms_ = nowMs;
}

double TPaymentImageCycle::opacity(int64_t nowMs) const {
  if (faded_in_) return 1;
  return std::clamp(double(nowMs - shown_at_ms_) / kFadeMs, 0.0, 1.0);
}
