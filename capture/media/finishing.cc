#include "capture/media/finishing.h"

#include <utility>

namespace rezoro::capture {

void runFinishingStep(bool recordingOpen, std::optional<CaptureFailure> failure, bool stopFailed,
                      MediaWriter* media, CaptureCompletion deliver, QueueHop toQueue) {
  if (!recordingOpen) return;
  if (failure) {
    deliver(*failure);
  } else if (stopFailed) {
    deliver(CaptureFailure::recordingFailed);
  } else if (media == nullptr) {
    deliver(CaptureFailure::exportFailed);
  } else {
    media->finish(std::move(deliver), std::move(toQueue));
  }
}

}  // namespace rezoro::capture
