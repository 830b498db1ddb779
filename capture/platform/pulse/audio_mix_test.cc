#include "capture/platform/pulse/audio_mix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace rezoro::capture {
namespace {

TEST(AudioMixTest, SumsStreamsByTimeWithSilenceBetweenAndDropsWhatComesTooLate) {
  AudioMix mix(100.0, 10, 1, 8);  // 10 frames a second, mono, room for 8 frames
  EXPECT_EQ(mix.frameAt(100.42), 4);
  EXPECT_DOUBLE_EQ(mix.hostTimeOf(5), 100.5);
  const float a[] = {1, 1, 1}, b[] = {2, 2}, late[] = {5, 5, 5}, far[] = {7, 7};
  mix.add(1, a, 3);
  mix.add(2, b, 2);
  EXPECT_EQ(mix.take(5), (std::vector<float>{0, 1, 3, 3, 0}));
  mix.add(3, late, 3);  // frames 3 and 4 are taken already: only frame 5 counts
  mix.add(12, far, 2);  // frame 13 lies beyond the room: only frame 12 counts
  EXPECT_EQ(mix.peek(4, 7), (std::vector<float>{0, 5, 0}));  // frame 4 is taken already
  EXPECT_EQ(mix.take(20), (std::vector<float>{5, 0, 0, 0, 0, 0, 0, 7}));
  EXPECT_EQ(mix.taken(), 13);
  EXPECT_TRUE(mix.take(13).empty());
}

TEST(AudioMixTest, FadeInRampsOnlyTheFirstFramesOfAStream) {
  std::vector<float> stereo(8, 1.0f);
  fadeIn(stereo.data(), 4, 2, 2, 4);  // frames 2 to 5 of a stream with a 4-frame ramp
  EXPECT_EQ(stereo, (std::vector<float>{0.5f, 0.5f, 0.75f, 0.75f, 1, 1, 1, 1}));
}

// Stereo frames of a signal from frame `first` on.
std::vector<float> stereo(const std::vector<float>& signal, int64_t first, int64_t frames) {
  std::vector<float> out;
  for (int64_t k = first; k < first + frames; ++k) out.insert(out.end(), {signal[k], -signal[k]});
  return out;
}

TEST(BestLagTest, FindsHowFarOneRecordingOfASoundLagsBehindAnother) {
  std::mt19937 random(7);
  std::normal_distribution<float> noise(0, 0.3f);
  std::vector<float> sound(6000);
  for (float& sample : sound) sample = noise(random);
  const int64_t frames = 2400, maximumLag = 500;
  const std::vector<float> reference = stereo(sound, 2000, frames);
  for (const int64_t lag : {0, 37, -213, 500, -500}) {
    // signal[t] = sound[t + lag]: reference[t] = sound[t] = signal[t - lag].
    const std::vector<float> signal = stereo(sound, 2000 - maximumLag + lag, frames + 2 * maximumLag);
    EXPECT_EQ(bestLag(reference.data(), signal.data(), frames, maximumLag, 2), lag);
  }
  const std::vector<float> silence(frames * 2, 0.0f);
  EXPECT_EQ(bestLag(silence.data(), stereo(sound, 0, frames + 2 * maximumLag).data(), frames, maximumLag, 2), 0);
}

TEST(BestLagTest, ASteadyToneIsContinuedByTheNearestLagOfTheRightPhase) {
  std::vector<float> tone(10000);  // 440 Hz: a period of 109.09 frames
  for (size_t k = 0; k < tone.size(); ++k) tone[k] = 0.5f * std::sin(2 * std::numbers::pi * 440 * k / 48000.0);
  const int64_t frames = 2400, maximumLag = 1920;
  const std::vector<float> reference = stereo(tone, 3000, frames);
  const std::vector<float> signal = stereo(tone, 3000 - maximumLag + 1000, frames + 2 * maximumLag);
  // 1000 frames late is 9.17 periods: the peak nearest to 0 lies 0.17 of a period (18 frames) off.
  EXPECT_NEAR(static_cast<double>(bestLag(reference.data(), signal.data(), frames, maximumLag, 2)), 1000 - 9 * 48000 / 440.0,
              1.0);
}

}  // namespace
}  // namespace rezoro::capture
