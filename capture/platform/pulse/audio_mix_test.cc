#include "capture/platform/pulse/audio_mix.h"

#include <gtest/gtest.h>

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
  EXPECT_EQ(mix.take(20), (std::vector<float>{5, 0, 0, 0, 0, 0, 0, 7}));
  EXPECT_EQ(mix.taken(), 13);
  EXPECT_TRUE(mix.take(13).empty());
}

TEST(AudioMixTest, FadeInRampsOnlyTheFirstFramesOfAStream) {
  std::vector<float> stereo(8, 1.0f);
  fadeIn(stereo.data(), 4, 2, 2, 4);  // frames 2 to 5 of a stream with a 4-frame ramp
  EXPECT_EQ(stereo, (std::vector<float>{0.5f, 0.5f, 0.75f, 0.75f, 1, 1, 1, 1}));
}

}  // namespace
}  // namespace rezoro::capture
