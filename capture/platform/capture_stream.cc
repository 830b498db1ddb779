#include "capture/platform/capture_stream.h"

#include <future>

#include "capture/serial_queue.h"

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

bool isFirstStart(bool& startRequested, SerialQueue& control, ErrorCompletion& completion) {
  if (!startRequested) return startRequested = true;
  control.async([completion = std::move(completion)] {
    if (completion) completion(PlatformError{"the capture was started before"});
  });
  return false;
}

std::optional<PlatformError> awaitAnswer(const std::function<void(ErrorCompletion)>& call) {
  std::promise<std::optional<PlatformError>> answered;
  call([&answered](std::optional<PlatformError> answer) { answered.set_value(std::move(answer)); });
  return answered.get_future().get();
}

}  // namespace rezoro::capture
