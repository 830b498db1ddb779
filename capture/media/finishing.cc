#include "capture/media/finishing.h"

#include <algorithm>
#include <utility>

namespace rezoro::capture {

MediaTime videoEndTime(const MediaTime& firstTime, const MediaTime& lastVideoTime, double hostElapsed,
                       double duration) {
  const double hostSeconds = std::min(std::max(hostElapsed, shortestVideoSeconds), duration);
  const MediaTime hostEnd = firstTime + MediaTime::fromSeconds(hostSeconds, endTimeTimescale);
  const MediaTime lastFrameEnd = lastVideoTime + frameDuration;
  const MediaTime requestedEnd = firstTime + MediaTime::fromSeconds(duration, endTimeTimescale);
  const MediaTime later = lastFrameEnd > hostEnd ? lastFrameEnd : hostEnd;
  return minimum(later, requestedEnd);
}

Json successResult(const MediaWriter& media, double duration) {
  return Json{
      {"ok", true},
      {"backend", captureBackend},
      {"revision", captureRevision},
      {"kind", media.request.kind},
      {"video_frames", media.videoFrames},
      {"audio_frames", media.audioFrames},
      {"dropped_frames", media.droppedFrames},
      {"duration_seconds", duration},
      {"width", media.width},
      {"height", media.height},
  };
}

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
