#include "capture/platform/pulse/excluded_playback.h"

#include <gtest/gtest.h>

namespace rezoro::capture {
namespace {

constexpr double kMargin = ExcludedPlayback::kMarginSeconds;

TEST(ExcludedPlaybackTest, NothingExcludedPlayedBeforeAnySinkInputBegan) {
  ExcludedPlayback playback;
  EXPECT_FALSE(playback.playedDuring(0, 1e9));
  playback.ended(7, 5.0);  // never began: nothing to end
  EXPECT_FALSE(playback.playedDuring(0, 1e9));
}

TEST(ExcludedPlaybackTest, ASinkInputOnTheSinkCountsFromJustBeforeItBeganOnUntilItEnds) {
  ExcludedPlayback playback;
  playback.began(7, 10.0);
  EXPECT_FALSE(playback.playedDuring(9.0, 10.0 - kMargin - 0.001));
  EXPECT_TRUE(playback.playedDuring(9.0, 10.0 - kMargin + 0.001));
  EXPECT_TRUE(playback.playedDuring(50.0, 51.0));  // still there
  playback.began(7, 30.0);                         // announced again: the span still begins at 10
  EXPECT_TRUE(playback.playedDuring(10.0, 10.5));

  playback.ended(7, 12.0);
  EXPECT_TRUE(playback.playedDuring(12.0 + kMargin - 0.001, 13.0));
  EXPECT_FALSE(playback.playedDuring(12.0 + kMargin + 0.001, 13.0));
  EXPECT_FALSE(playback.playedDuring(9.0, 9.5));
}

TEST(ExcludedPlaybackTest, SpansOfSeveralSinkInputsAddUpAndOldOnesAreForgotten) {
  ExcludedPlayback playback;
  playback.began(1, 10.0);
  playback.began(2, 11.0);
  playback.ended(1, 12.0);
  playback.ended(2, 20.0);
  EXPECT_TRUE(playback.playedDuring(15.0, 15.02));  // only the second one plays then
  EXPECT_FALSE(playback.playedDuring(21.0, 22.0));

  playback.forgetBefore(12.0 + kMargin + 0.01);  // the first span lies wholly before
  EXPECT_FALSE(playback.playedDuring(10.0, 10.9 - kMargin));
  EXPECT_TRUE(playback.playedDuring(15.0, 15.02));  // the second is kept
  playback.forgetBefore(20.0 + kMargin - 0.01);     // still within the second one's margin
  EXPECT_TRUE(playback.playedDuring(20.0, 20.05));
}

}  // namespace
}  // namespace rezoro::capture
