#pragma once
// Waiting for a stream's asynchronous start or stop answer in tests.

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>

#include "capture/platform/shareable_content.h"

namespace rezoro::capture::testing {

// Makes `call` with a completion and waits up to 15 s for its answer: the error it reported, none
// for success, or a "no answer" error when it never answered.
inline std::optional<PlatformError> answerOf(const std::function<void(ErrorCompletion)>& call) {
  auto promise = std::make_shared<std::promise<std::optional<PlatformError>>>();
  auto future = promise->get_future();
  call([promise](std::optional<PlatformError> error) { promise->set_value(std::move(error)); });
  if (future.wait_for(std::chrono::seconds(15)) != std::future_status::ready) return PlatformError{"no answer"};
  return future.get();
}

}  // namespace rezoro::capture::testing
