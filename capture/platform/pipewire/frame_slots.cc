#include "capture/platform/pipewire/frame_slots.h"

namespace rezoro::capture {

void FrameSlots::takeTurn(double time) {
  nextTurn_ += interval_;
  // After a pause the turns start again from this picture.
  if (nextTurn_ <= time) nextTurn_ = time + interval_;
}

bool FrameSlots::arrive(double time) {
  if (time < nextTurn_ - slack_) {
    held_ = true;
    return false;
  }
  held_ = false;
  takeTurn(time);
  return true;
}

std::optional<double> FrameSlots::heldUntil() const {
  if (!held_) return std::nullopt;
  return nextTurn_;
}

bool FrameSlots::release(double time) {
  if (!held_ || time < nextTurn_ - slack_) return false;
  held_ = false;
  takeTurn(time);
  return true;
}

bool FrameSlots::takeHeld() {
  const bool held = held_;
  held_ = false;
  return held;
}

}  // namespace rezoro::capture
