#pragma once

#include <cstdint>
#include <optional>

#include "capture/samples/media_time.h"

namespace rezoro::capture {

// Where an audio buffer goes on a track laid frame by frame on the 48 kHz grid, whose frame k holds
// the sound stamped origin + k / 48000 s.
struct AudioPlacement {
  int64_t frame = 0;    // the grid frame the buffer's first sample belongs on (rounded to the nearest)
  int64_t silence = 0;  // frames of silence to lay first, from the track's end up to that frame
  int64_t skip = 0;     // leading frames of the buffer that fall on frames already laid (or before the origin)
  int64_t count = 0;    // frames of the buffer to lay after those; 0: nothing of it is laid
};

// The buffer of `frames` frames stamped `time`, for a track that holds `laid` frames and is cut at
// frame `end`: a buffer late for its place loses the part that overlaps what is laid, one early for
// it is preceded by silence, and nothing is laid from `end` on. Empty when the time cannot be placed
// (invalid, or too far from the origin to count in frames).
std::optional<AudioPlacement> placeOnAudioGrid(const MediaTime& time, const MediaTime& origin, int64_t laid,
                                               int64_t frames, int64_t end);

}  // namespace rezoro::capture
