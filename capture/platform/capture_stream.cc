#include "capture/platform/capture_stream.h"

#include <future>
#include <utility>

#include "capture/runtime/serial_queue.h"

namespace rezoro::capture {

MediaTime hostMediaTime(double hostSeconds) {
  return MediaTime::fromSeconds(hostSeconds, kHostTimescale);
}

MediaTime hostMediaTime() { return hostMediaTime(hostTimeSeconds()); }

void OutputDestination::deliver(SampleBuffer sample, StreamOutputType type) const {
  queue->async([output = output, sample = std::move(sample), type] {
    if (auto receiver = output.lock()) receiver->didOutputSampleBuffer(sample, type);
  });
}

std::optional<PlatformError> attachOutput(std::optional<OutputDestination>& slot, std::weak_ptr<StreamOutput> output,
                                          SerialQueue& queue, bool startRequested) {
  if (startRequested) return PlatformError{"outputs must be added before the capture starts"};
  if (slot) return PlatformError{"the stream already has an output of this type"};
  slot = OutputDestination{std::move(output), &queue};
  return std::nullopt;
}

StreamControl::StreamControl() : queue_(std::make_unique<SerialQueue>()) {}

StreamControl::~StreamControl() { close(); }

void StreamControl::post(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  if (queue_) queue_->async(std::move(work));
}

void StreamControl::postStart(bool& startRequested, ErrorCompletion completion,
                              std::function<void(ErrorCompletion)> start) {
  if (std::exchange(startRequested, true)) {
    post([completion = std::move(completion)] {
      if (completion) completion(PlatformError{"the capture was started before"});
    });
    return;
  }
  post([start = std::move(start), completion = std::move(completion)]() mutable { start(std::move(completion)); });
}

void StreamControl::close() {
  std::unique_ptr<SerialQueue> queue;
  {
    std::lock_guard lock(mutex_);
    queue = std::move(queue_);
  }
  queue.reset();  // waits for a start or stop under way
}

std::optional<PlatformError> awaitAnswer(const std::function<void(ErrorCompletion)>& call) {
  std::promise<std::optional<PlatformError>> answered;
  call([&answered](std::optional<PlatformError> answer) { answered.set_value(std::move(answer)); });
  return answered.get_future().get();
}

}  // namespace rezoro::capture
