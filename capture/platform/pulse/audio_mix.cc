#include "capture/platform/pulse/audio_mix.h"

#include <algorithm>
#include <cmath>

namespace rezoro::capture {

AudioMix::AudioMix(double origin, double rate, int channels, int64_t capacityFrames)
    : origin_(origin), rate_(rate), channels_(channels), capacity_(capacityFrames),
      ring_(static_cast<size_t>(capacityFrames * channels), 0.0f) {}

int64_t AudioMix::frameAt(double hostTime) const { return std::llround((hostTime - origin_) * rate_); }

void AudioMix::add(int64_t at, const float* samples, int64_t frames) {
  const int64_t first = std::max(at, taken_);
  const int64_t end = std::min(at + frames, taken_ + capacity_);
  for (int64_t frame = first; frame < end; ++frame) {
    float* into = ring_.data() + (frame % capacity_) * channels_;
    const float* from = samples + (frame - at) * channels_;
    for (int channel = 0; channel < channels_; ++channel) into[channel] += from[channel];
  }
}

std::vector<float> AudioMix::take(int64_t until) {
  until = std::min(until, taken_ + capacity_);
  std::vector<float> out;
  if (until <= taken_) return out;
  out.reserve(static_cast<size_t>((until - taken_) * channels_));
  for (; taken_ < until; ++taken_) {
    float* frame = ring_.data() + (taken_ % capacity_) * channels_;
    out.insert(out.end(), frame, frame + channels_);
    std::fill(frame, frame + channels_, 0.0f);
  }
  return out;
}

std::vector<float> AudioMix::peek(int64_t from, int64_t until) const {
  std::vector<float> out(static_cast<size_t>(std::max<int64_t>(until - from, 0) * channels_), 0.0f);
  for (int64_t frame = std::max(from, taken_); frame < std::min(until, taken_ + capacity_); ++frame) {
    std::copy_n(ring_.begin() + (frame % capacity_) * channels_, channels_, out.begin() + (frame - from) * channels_);
  }
  return out;
}

void fadeIn(float* samples, int64_t frames, int channels, int64_t position, int64_t length) {
  for (int64_t frame = 0; frame < frames && position + frame < length; ++frame) {
    const float gain = static_cast<float>(position + frame) / static_cast<float>(length);
    for (int channel = 0; channel < channels; ++channel) samples[frame * channels + channel] *= gain;
  }
}

int64_t bestLag(const float* reference, const float* signal, int64_t frames, int64_t maximumLag, int channels) {
  double energy = 0;
  for (int64_t k = 0; k < frames; ++k) energy += double(reference[k * channels]) * reference[k * channels];
  if (energy < 1e-6 * static_cast<double>(frames)) return 0;  // below -60 dB: nothing to go by
  auto correlation = [&](int64_t lag) {
    const float* shifted = signal + (maximumLag - lag) * channels;
    float sum = 0;
    for (int64_t k = 0; k < frames; ++k) sum += reference[k * channels] * shifted[k * channels];
    return sum;
  };
  int64_t best = 0;
  float bestCorrelation = correlation(0);
  for (int64_t step = 1; step <= maximumLag; ++step) {
    for (const int64_t lag : {step, -step}) {
      const float value = correlation(lag);
      // Clearly larger only: rounding must not pick a farther peak of a steady tone.
      if (value > bestCorrelation + 1e-4f * std::abs(bestCorrelation)) {
        best = lag;
        bestCorrelation = value;
      }
    }
  }
  return best;
}

}  // namespace rezoro::capture
