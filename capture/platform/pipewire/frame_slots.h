#pragma once

#include <optional>

namespace rezoro::capture {

// Which pictures of a producer that sends one whenever the screen changes are written, at most one
// per interval (the turns). A picture that arrives at its turn or later takes it at once. One that
// arrives early waits for the turn and is replaced by any newer one that arrives before then: the
// newest picture always takes the next turn, so the last of a burst is written within one interval
// of its arrival and never lost. Times are seconds on one clock. Not thread-safe.
class FrameSlots {
 public:
  // `slack`: a picture this much early for its turn still takes it (producers' clocks jitter).
  explicit FrameSlots(double interval, double slack = 0.004) : interval_(interval), slack_(slack) {}

  // A picture arrived at `time`. True: it takes its turn now (and a picture held before is dropped,
  // being older). False: it is held until heldUntil().
  bool arrive(double time);
  // When the held picture takes its turn; none when none is held.
  std::optional<double> heldUntil() const;
  // At `time`: true when the held picture takes its turn now (it is no longer held).
  bool release(double time);
  // Hands over the held picture out of turn (the capture stops): true when there was one.
  bool takeHeld();

 private:
  void takeTurn(double time);

  const double interval_;
  const double slack_;
  double nextTurn_ = 0;
  bool held_ = false;
};

}  // namespace rezoro::capture
