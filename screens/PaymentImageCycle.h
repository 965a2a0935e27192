#pragma once
// The logos of the offered payment methods take turns on the cart's pay
// button: one shows at a time, the next every kIntervalMs, and each fades in
// over kFadeMs as it appears. Plain, so that a test drives it by the clock;
// the cart's timers drive it with the program's clock (platform/Clock.h).

#include <cstdint>

class TPaymentImageCycle {
 public:
  static constexpr int kIntervalMs = 1500;
  static constexpr int kFadeMs = 200;

  // count: the logos taking part, the card's first. The card's shows from
  // the start, without a fade.
  explicit TPaymentImageCycle(int count = 1);

  int count() const { return count_; }
  // The logo shown now.
  int paymentImageInd() const { return ind_; }
  // A single method has nothing to take turns with.
  bool cycles() const { return count_ > 1; }
  // The next logo, after the last the first again, appears at nowMs.
  void next(int64_t nowMs);
  // How opaque the shown logo is at nowMs: from 0 as it appears to 1 once
  // kFadeMs have passed.
  double opacity(int64_t nowMs) const;

 private:
  int count_;
  int ind_ = 0;
  bool faded_in_ = true;
  int64_t shown_at_ms_ = 0;
};
