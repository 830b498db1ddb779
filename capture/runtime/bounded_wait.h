#pragma once

#include <functional>
#include <memory>
#include <optional>

namespace rezoro::capture {

// Runs `work` on a thread of its own and waits at most `seconds` for it. Returns true when it ended
// in time (its thread has been joined). Otherwise the thread is left to end on its own, keeping
// `work` and whatever it captured alive: a call stuck on a frozen X server or a stalled disk never
// holds up its caller beyond the bound. When no thread can be started, `work` runs on the caller.
bool runWithin(double seconds, std::function<void()> work);

// The value of `work`, or none when it took longer than `seconds` (see runWithin).
template <typename T>
std::optional<T> valueWithin(double seconds, std::function<T()> work) {
  auto value = std::make_shared<std::optional<T>>();
  if (!runWithin(seconds, [value, work = std::move(work)] { *value = work(); })) return std::nullopt;
  return *value;
}

}  // namespace rezoro::capture
