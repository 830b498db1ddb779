#include "capture/platform/audio_timeline.h"

#include <cmath>

namespace rezoro::capture {

double AudioTimeline::place(double estimate, int64_t frames) {
  if (anchor_) {
    const double next = *anchor_ + static_cast<double>(frames_) / sampleRate_;
    if (std::abs(estimate - next) <= tolerance_) {
      frames_ += frames;
      return next;
    }
    ++reanchors_;
  }
  anchor_ = estimate;
  frames_ = frames;
  return estimate;
}

void AudioTimeline::skip(int64_t frames) {
  if (anchor_) frames_ += frames;
}

}  // namespace rezoro::capture
