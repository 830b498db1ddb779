#include "capture/samples/audio_grid.h"

#include <gtest/gtest.h>

#include <limits>

namespace rezoro::capture {
namespace {

constexpr int64_t kOpen = std::numeric_limits<int64_t>::max();
const MediaTime kOrigin = MediaTime::make(5'000'000'000, 1'000'000'000);

MediaTime afterOrigin(int64_t nanoseconds) { return kOrigin + MediaTime::make(nanoseconds, 1'000'000'000); }

TEST(AudioGrid, ABufferOnTimeFollowsWhatIsLaid) {
  const auto place = placeOnAudioGrid(afterOrigin(10'000'000), kOrigin, 480, 480, kOpen);
  ASSERT_TRUE(place);
  EXPECT_EQ(place->frame, 480);
  EXPECT_EQ(place->silence, 0);
  EXPECT_EQ(place->skip, 0);
  EXPECT_EQ(place->count, 480);
}

TEST(AudioGrid, AGapBeforeABufferIsSilenceAndAnOverlapIsSkipped) {
  const auto early = placeOnAudioGrid(afterOrigin(1'000'000'000), kOrigin, 480, 480, kOpen);
  ASSERT_TRUE(early);
  EXPECT_EQ(early->silence, 48000 - 480);
  EXPECT_EQ(early->skip, 0);
  EXPECT_EQ(early->count, 480);

  const auto late = placeOnAudioGrid(afterOrigin(5'000'000), kOrigin, 480, 480, kOpen);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->silence, 0);
  EXPECT_EQ(late->skip, 240);
  EXPECT_EQ(late->count, 240);

  const auto stale = placeOnAudioGrid(kOrigin, kOrigin, 960, 480, kOpen);
  ASSERT_TRUE(stale);
  EXPECT_EQ(stale->skip, 480);
  EXPECT_EQ(stale->count, 0);
}

TEST(AudioGrid, OnlyThePartAfterTheOriginIsLaid) {
  const auto place = placeOnAudioGrid(kOrigin - MediaTime::make(1, 1000), kOrigin, 0, 480, kOpen);
  ASSERT_TRUE(place);
  EXPECT_EQ(place->frame, -48);
  EXPECT_EQ(place->silence, 0);
  EXPECT_EQ(place->skip, 48);
  EXPECT_EQ(place->count, 432);
}

TEST(AudioGrid, NothingIsLaidFromTheEndOn) {
  const auto straddling = placeOnAudioGrid(afterOrigin(990'000'000), kOrigin, 47520, 960, 48000);
  ASSERT_TRUE(straddling);
  EXPECT_EQ(straddling->count, 480);

  const auto beyond = placeOnAudioGrid(afterOrigin(2'000'000'000), kOrigin, 47520, 480, 48000);
  ASSERT_TRUE(beyond);
  EXPECT_EQ(beyond->frame, 96000);
  EXPECT_EQ(beyond->silence, 480) << "silence reaches the end, not the buffer's own place";
  EXPECT_EQ(beyond->count, 0);
}

TEST(AudioGrid, ATimeBetweenFramesGoesToTheNearestAndAnUnplaceableOrFarOneNowhere) {
  // Half a frame rounds away from the origin; a little less rounds back.
  EXPECT_EQ(placeOnAudioGrid(kOrigin + MediaTime::make(1, 96000), kOrigin, 0, 480, kOpen)->frame, 1);
  EXPECT_EQ(placeOnAudioGrid(kOrigin + MediaTime::make(10'416, 1'000'000'000), kOrigin, 0, 480, kOpen)->frame, 0);
  EXPECT_FALSE(placeOnAudioGrid(MediaTime::invalid(), kOrigin, 0, 480, kOpen));
  EXPECT_FALSE(placeOnAudioGrid(MediaTime::make(std::numeric_limits<int64_t>::max() / 2, 1), kOrigin, 0, 480, kOpen));
  // About 6e12 s before the origin: a frame number that fits 64 bits, from which the frames
  // already laid would overflow them.
  const MediaTime origin = MediaTime::make(5, 1);
  const MediaTime farBefore = MediaTime::make(-192'153'584'101'136, 1);
  ASSERT_TRUE((farBefore - origin).convertedTo(48000).isValid());
  EXPECT_FALSE(placeOnAudioGrid(farBefore, origin, 47520, 480, kOpen));
  EXPECT_FALSE(placeOnAudioGrid(MediaTime::make(192'153'584'101'000, 1), origin, 47520, 480, kOpen));
  // A day from the origin still counts.
  EXPECT_TRUE(placeOnAudioGrid(MediaTime::make(5 + 86'400, 1), origin, 0, 480, kOpen));
}

}  // namespace
}  // namespace rezoro::capture
