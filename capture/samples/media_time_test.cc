#include "capture/samples/media_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace rezoro::capture {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

TEST(MediaTime, ComparesExactlyAcrossTimescales) {
  EXPECT_EQ(MediaTime::make(1, 2), MediaTime::make(45000, 90000));
  EXPECT_LT(MediaTime::make(1, 3), MediaTime::make(1, 2));
  EXPECT_GT(MediaTime::make(-1, 3), MediaTime::make(-1, 2));
  // One tick apart at the top of the range: a comparison through doubles would call these equal.
  EXPECT_LT(MediaTime::make(kMax - 1, 1000000000), MediaTime::make(kMax, 1000000000));
  EXPECT_LT(MediaTime::make(kMax / 3, 999999999), MediaTime::make(kMax / 3 + 1, 999999999));
  EXPECT_NE(MediaTime::make(1, 3), MediaTime::make(33333, 100000));
}

TEST(MediaTime, InvalidTimesOrderBelowValidOnes) {
  const MediaTime invalid = MediaTime::invalid();
  EXPECT_FALSE(invalid.isValid());
  EXPECT_FALSE(MediaTime::make(5, 0).isValid());
  EXPECT_FALSE(MediaTime::make(5, -1).isValid());
  EXPECT_LT(invalid, MediaTime::make(-kMax, 1));
  EXPECT_EQ(invalid, MediaTime::invalid());
  EXPECT_EQ(maximum(invalid, MediaTime::make(1, 1)), MediaTime::make(1, 1));
  EXPECT_TRUE(std::isnan(invalid.seconds()));
  EXPECT_FALSE((invalid + MediaTime::make(1, 1)).isValid());
  EXPECT_FALSE((MediaTime::make(1, 1) - invalid).isValid());
  EXPECT_FALSE(invalid.convertedTo(600).isValid());
}

TEST(MediaTime, AddsAndSubtractsOnTheCommonTimescale) {
  const MediaTime sum = MediaTime::make(1, 2) + MediaTime::make(1, 3);
  EXPECT_EQ(sum.value, 5);
  EXPECT_EQ(sum.timescale, 6);
  EXPECT_EQ(sum.flags & MediaTime::kHasBeenRounded, 0u);

  const MediaTime difference = MediaTime::make(1, 24) - MediaTime::make(1, 60000);
  EXPECT_EQ(difference.timescale, 60000);
  EXPECT_EQ(difference.value, 2499);
  const MediaTime mixed = MediaTime::make(1, 9) - MediaTime::make(1, 6);
  EXPECT_EQ(mixed.timescale, 18);
  EXPECT_EQ(mixed.value, -1);

  // 10 s − 1/24 s made from a 60000 timescale stays exact.
  const MediaTime end = MediaTime::fromSeconds(10.0, 60000);
  EXPECT_EQ(end - MediaTime::make(1, 24), MediaTime::make(9 * 24 + 23, 24));
}

TEST(MediaTime, RoundsWhenTheCommonTimescaleDoesNotFit) {
  // lcm(1e9, 7) does not fit 32 bits: the larger timescale is used and the result is marked.
  const MediaTime sum = MediaTime::make(0, 1000000000) + MediaTime::make(1, 7);
  EXPECT_EQ(sum.timescale, 1000000000);
  EXPECT_EQ(sum.value, 142857143);
  EXPECT_NE(sum.flags & MediaTime::kHasBeenRounded, 0u);
  EXPECT_TRUE(sum.isValid());
}

TEST(MediaTime, OverflowGivesInvalid) {
  EXPECT_FALSE((MediaTime::make(kMax, 1) + MediaTime::make(1, 1)).isValid());
  EXPECT_FALSE((MediaTime::make(-kMax, 1) - MediaTime::make(2, 1)).isValid());
  EXPECT_FALSE(MediaTime::make(kMax / 2, 1).convertedTo(90000).isValid());
}

TEST(MediaTime, FromSecondsRoundsHalfAwayFromZero) {
  EXPECT_EQ(MediaTime::fromSeconds(5.2, 60000).value, 312000);
  EXPECT_EQ(MediaTime::fromSeconds(0.25, 2).value, 1);
  EXPECT_EQ(MediaTime::fromSeconds(-0.25, 2).value, -1);
  EXPECT_EQ(MediaTime::fromSeconds(0.75, 2).value, 2);
  EXPECT_EQ(MediaTime::fromSeconds(0.25, 2).flags & MediaTime::kHasBeenRounded,
            MediaTime::kHasBeenRounded);
  EXPECT_EQ(MediaTime::fromSeconds(0.5, 2).flags & MediaTime::kHasBeenRounded, 0u);
  EXPECT_FALSE(MediaTime::fromSeconds(std::nan(""), 600).isValid());
  EXPECT_FALSE(MediaTime::fromSeconds(INFINITY, 600).isValid());
  EXPECT_FALSE(MediaTime::fromSeconds(1.0, 0).isValid());
  EXPECT_FALSE(MediaTime::fromSeconds(1e300, 600).isValid());
  EXPECT_DOUBLE_EQ(MediaTime::fromSeconds(1.0 / 24.0, 60000).seconds(), 2500.0 / 60000.0);
}

TEST(MediaTime, ConvertsBetweenTimescales) {
  EXPECT_EQ(MediaTime::make(1, 3).convertedTo(90000).value, 30000);
  const MediaTime rounded = MediaTime::make(2, 7).convertedTo(2);
  EXPECT_EQ(rounded.value, 1);
  EXPECT_NE(rounded.flags & MediaTime::kHasBeenRounded, 0u);
  EXPECT_EQ(MediaTime::make(-1, 4).convertedTo(2).value, -1);
  EXPECT_EQ(MediaTime::make(1, 4).convertedTo(2).value, 1);
  EXPECT_FALSE(MediaTime::make(1, 4).convertedTo(0).isValid());
}

TEST(HostTime, IsMonotonic) {
  const double first = hostTimeSeconds();
  const double second = hostTimeSeconds();
  EXPECT_GT(first, 0.0);
  EXPECT_GE(second, first);
}

}  // namespace
}  // namespace rezoro::capture
