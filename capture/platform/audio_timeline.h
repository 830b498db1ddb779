#pragma once

#include <cstdint>
#include <optional>

namespace rezoro::capture {

// Places buffers of a continuous audio stream on the host clock. Each buffer comes with an estimate
// of when its first frame was captured (read time minus the audio still waiting to be read); the
// estimate jitters by however late the read ran. Stamping each buffer with its raw estimate would
// open and close gaps of a few milliseconds between neighbours, which a writer placing audio by time
// turns into clicks. So a buffer that continues the stream starts exactly where the previous one
// ended, and the timeline re-anchors on the estimate only when the two part by more than the
// tolerance (data lost by the server, a stall) or after a discontinuity is declared.
class AudioTimeline {
 public:
  explicit AudioTimeline(double sampleRate, double tolerance = 0.040)
      : sampleRate_(sampleRate), tolerance_(tolerance) {}

  // The host time (seconds) at which to stamp a buffer of `frames` frames whose first frame was
  // captured at about `estimate`.
  double place(double estimate, int64_t frames);
  // `frames` frames of the stream are missing (a hole): the next buffer starts after them.
  void skip(int64_t frames);
  // The stream broke (an overrun): the next buffer starts at its own estimate.
  void discontinuity() { anchor_.reset(); }

  int64_t reanchors() const { return reanchors_; }

 private:
  double sampleRate_;
  double tolerance_;
  std::optional<double> anchor_;  // host time of frame 0 since the last anchoring
  int64_t frames_ = 0;            // frames placed since then
  int64_t reanchors_ = 0;
};

}  // namespace rezoro::capture
