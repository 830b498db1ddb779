#pragma once

#include <cstdint>
#include <optional>

namespace rezoro::capture {

// Places buffers of a continuous audio stream on the host clock. Each buffer comes with an estimate
// of when its first frame was captured (read time minus the audio still waiting to be read). The
// estimate is never much earlier than the truth but often later: a read that runs late, or a burst
// of which only part has arrived yet. Stamping each buffer with its raw estimate would open and
// close gaps between neighbours, which a writer placing audio by time turns into clicks and dropped
// audio. So a buffer that continues the stream starts exactly where the previous one ended, and the
// timeline moves only when the estimates say so beyond doubt:
//   - an estimate earlier than the timeline by more than the tolerance: the timeline was placed too
//     late; it restarts at the estimate;
//   - estimates later than the timeline by more than the tolerance for a sustained stretch of audio
//     that is also a sustained stretch of time (audio the server lost): it moves later by the
//     smallest such lag. A reader that waited for a core finds its backlog coming a buffer at a
//     time (the rest still in the socket), each estimated as just captured: late estimates for
//     many frames, but all from the same moment, and nothing was lost;
//   - a declared discontinuity (an overrun): the next buffer starts at its own estimate.
class AudioTimeline {
 public:
  explicit AudioTimeline(double sampleRate, double tolerance = 0.040, double sustained = 0.250)
      : sampleRate_(sampleRate), tolerance_(tolerance), sustained_(sustained) {}

  // The host time (seconds) at which to stamp a buffer of `frames` frames whose first frame was
  // captured at about `estimate`.
  double place(double estimate, int64_t frames);
  // `frames` frames of the stream are missing (a hole): the next buffer starts after them.
  void skip(int64_t frames);
  // The stream broke: the next buffer starts at its own estimate.
  void discontinuity() { anchor_.reset(); }

  int64_t reanchors() const { return reanchors_; }

 private:
  double restart(double at, int64_t frames);

  double sampleRate_;
  double tolerance_;
  double sustained_;
  std::optional<double> anchor_;  // host time of frame 0 since the last anchoring
  int64_t frames_ = 0;            // frames placed since then
  int64_t lateFrames_ = 0;        // length of the current stretch of late estimates
  double firstLateEstimate_ = 0;  // the estimate that began it
  double smallestLag_ = 0;        // the smallest lag within that stretch
  int64_t reanchors_ = 0;
};

}  // namespace rezoro::capture
