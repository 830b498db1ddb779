#pragma once

#include <cstdint>
#include <vector>

namespace rezoro::capture {

// Sums several audio streams onto one timeline of interleaved float frames. Frame k of the mix is
// the audio captured at host time `origin` + k / rate. Streams add their frames at the index their
// capture time gives; the mix is taken out in order, up to a frame that every stream has passed,
// as one seamless run with silence wherever nothing played. Frames that arrive for a part already
// taken are dropped, as are frames more than the capacity ahead of it.
class AudioMix {
 public:
  AudioMix(double origin, double rate, int channels, int64_t capacityFrames);

  // The index of the frame captured at `hostTime` (rounded to the nearest).
  int64_t frameAt(double hostTime) const;
  double hostTimeOf(int64_t frame) const { return origin_ + static_cast<double>(frame) / rate_; }

  void add(int64_t at, const float* samples, int64_t frames);
  // The frames from taken() up to `until` (exclusive), or nothing when there are none.
  std::vector<float> take(int64_t until);
  // A copy of frames [from, until), which stay in the mix; silence where it holds none.
  std::vector<float> peek(int64_t from, int64_t until) const;
  int64_t taken() const { return taken_; }

 private:
  double origin_;
  double rate_;
  int channels_;
  int64_t capacity_;
  std::vector<float> ring_;  // frame k at (k mod capacity) while taken_ <= k < taken_ + capacity_
  int64_t taken_ = 0;
};

// Ramps the start of a stream up from silence over `length` frames, so that a stream joining
// mid-sound does not click: multiplies `frames` frames, the first of which is frame `position` of
// the stream, by position / length (1 from `length` on).
void fadeIn(float* samples, int64_t frames, int channels, int64_t position, int64_t length);

// How many frames `signal` lags behind `reference` (reference[t] ≈ signal[t - lag]), from -maximumLag
// to maximumLag: the lag of the largest correlation over `frames` frames of the first channel of
// interleaved audio, the smallest such lag on a tie (a steady tone matches once a period, and any of
// those continues it). `reference` holds `frames` frames and `signal` frames + 2 · maximumLag, its
// frame maximumLag + k beside reference frame k. 0 when the reference is silent.
int64_t bestLag(const float* reference, const float* signal, int64_t frames, int64_t maximumLag, int channels);

}  // namespace rezoro::capture
