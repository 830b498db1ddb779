#include "capture/platform/pulse/audio_timeline.h"

#include <algorithm>

namespace rezoro::capture {

double AudioTimeline::restart(double at, int64_t frames) {
  anchor_ = at;
  frames_ = frames;
  lateFrames_ = 0;
  return at;
}

double AudioTimeline::place(double estimate, int64_t frames) {
  if (!anchor_) return restart(estimate, frames);
  const double next = *anchor_ + static_cast<double>(frames_) / sampleRate_;
  const double lag = estimate - next;
  if (lag < -tolerance_) {
    ++reanchors_;
    return restart(estimate, frames);
  }
  if (lag > tolerance_) {
    smallestLag_ = lateFrames_ == 0 ? lag : std::min(smallestLag_, lag);
    if (lateFrames_ == 0) firstLateEstimate_ = estimate;
    lateFrames_ += frames;
    const double duration = static_cast<double>(frames) / sampleRate_;
    if (static_cast<double>(lateFrames_) / sampleRate_ >= sustained_ &&
        estimate + duration - firstLateEstimate_ >= sustained_) {
      ++reanchors_;
      return restart(next + smallestLag_, frames);
    }
  } else {
    lateFrames_ = 0;
  }
  frames_ += frames;
  return next;
}

void AudioTimeline::skip(int64_t frames) {
  if (anchor_) frames_ += frames;
}

}  // namespace rezoro::capture
