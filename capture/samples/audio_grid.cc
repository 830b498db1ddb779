#include "capture/samples/audio_grid.h"

#include <algorithm>
#include <cstdint>

#include "capture/samples/media_sample.h"

namespace rezoro::capture {

namespace {

// Farther from the origin than this (about 265 days) no buffer belongs to a recording; within it,
// the sums and differences below cannot overflow.
constexpr int64_t kFarthestFrame = int64_t{1} << 40;

}  // namespace

std::optional<AudioPlacement> placeOnAudioGrid(const MediaTime& time, const MediaTime& origin, int64_t laid,
                                               int64_t frames, int64_t end) {
  const MediaTime offset = (time - origin).convertedTo(audioSampleRate);
  if (!offset.isValid() || offset.value > kFarthestFrame || offset.value < -kFarthestFrame) return std::nullopt;
  AudioPlacement place;
  place.frame = offset.value;
  const int64_t target = std::min(offset.value, end);
  place.silence = std::max<int64_t>(target - laid, 0);
  const int64_t written = std::max(laid, target);
  place.skip = std::clamp<int64_t>(laid - target, 0, std::max<int64_t>(frames, 0));
  place.count = std::max<int64_t>(std::min(end - written, frames - place.skip), 0);
  return place;
}

}  // namespace rezoro::capture
