#include "capture/platform/pulse/excluded_playback.h"

#include <gtest/gtest.h>

#include <cmath>

#include "capture/testing/fake_process_table.h"

namespace rezoro::capture {
namespace {

using Verdict = ExcludedPlayback::Verdict;
constexpr double kMargin = ExcludedPlayback::kMarginSeconds;
constexpr double kLater = 1e9;  // a first unsent frame that does not bound when a sink input counts

// The excluded application is process 100; 300 is another.
class ExcludedPlaybackTest : public ::testing::Test {
 protected:
  static const std::filesystem::path& withProcesses(testing::FakeProcessTable& table) {
    table.add(1, 0);
    table.add(100, 1);
    table.add(300, 1);
    return table.path();
  }
  testing::FakeProcessTable table;
  ProcessTree tree{{100}, withProcesses(table)};
  ExcludedPlayback playback{tree};
};

TEST_F(ExcludedPlaybackTest, NothingExcludedPlayedBeforeAnySinkInputBegan) {
  EXPECT_FALSE(playback.playedDuring(0, 1e9));
  playback.removed(7, 5.0);  // never began: nothing to end
  EXPECT_EQ(playback.reported(8, true, "300", 6.0, kLater), Verdict::mix);
  EXPECT_EQ(playback.reported(9, true, nullptr, 6.0, kLater), Verdict::mix);
  EXPECT_EQ(playback.reported(10, false, "100", 6.0, kLater), Verdict::elsewhere);
  EXPECT_FALSE(playback.playedDuring(0, 1e9));
}

TEST_F(ExcludedPlaybackTest, ASinkInputOnTheSinkCountsFromJustBeforeItBeganOnUntilItEnds) {
  EXPECT_EQ(playback.reported(7, true, "100", 10.0, kLater), Verdict::leaveOut);
  EXPECT_FALSE(playback.playedDuring(9.0, 10.0 - kMargin - 0.001));
  EXPECT_TRUE(playback.playedDuring(9.0, 10.0 - kMargin + 0.001));
  EXPECT_TRUE(playback.playedDuring(50.0, 51.0));  // still there
  EXPECT_EQ(playback.reported(7, true, "100", 30.0, kLater), Verdict::leaveOut);  // the span still begins at 10
  EXPECT_TRUE(playback.playedDuring(10.0, 10.5));

  playback.removed(7, 12.0);
  EXPECT_TRUE(playback.playedDuring(12.0 + kMargin - 0.001, 13.0));
  EXPECT_FALSE(playback.playedDuring(12.0 + kMargin + 0.001, 13.0));
  EXPECT_FALSE(playback.playedDuring(9.0, 9.5));

  // From the first frame not handed on, when that lies before the report.
  EXPECT_EQ(playback.reported(8, true, "100", 20.0, 19.8), Verdict::leaveOut);
  EXPECT_TRUE(playback.playedDuring(19.8 - kMargin + 0.001, 19.8));
}

TEST_F(ExcludedPlaybackTest, SpansOfSeveralSinkInputsAddUpAndOldOnesAreForgotten) {
  playback.reported(1, true, "100", 10.0, kLater);
  playback.reported(2, true, "100", 11.0, kLater);
  playback.removed(1, 12.0);
  playback.removed(2, 20.0);
  EXPECT_TRUE(playback.playedDuring(15.0, 15.02));  // only the second one plays then
  EXPECT_FALSE(playback.playedDuring(21.0, 22.0));

  playback.forgetBefore(12.0 + kMargin + 0.01);  // the first span lies wholly before
  EXPECT_FALSE(playback.playedDuring(10.0, 10.9 - kMargin));
  EXPECT_TRUE(playback.playedDuring(15.0, 15.02));  // the second is kept
  playback.forgetBefore(20.0 + kMargin - 0.01);     // still within the second one's margin
  EXPECT_TRUE(playback.playedDuring(20.0, 20.05));
}

// A helper the application starts is a member once the tree reads it; a sink input of it that was
// judged before (its pid not yet in the table, or not yet in its properties) was kept for good.
TEST_F(ExcludedPlaybackTest, AKeptSinkInputIsLeftOutOnceItsProcessTurnsOutExcluded) {
  EXPECT_EQ(playback.reported(7, true, "200", 10.0, kLater), Verdict::mix);  // 200 is not in the table
  table.add(200, 100);
  EXPECT_EQ(playback.reported(7, true, "200", 10.5, kLater), Verdict::leaveOut);
  EXPECT_FALSE(playback.playedDuring(9.0, 10.3));
  EXPECT_TRUE(playback.playedDuring(10.45, 10.5));

  EXPECT_EQ(playback.reported(8, true, nullptr, 11.0, kLater), Verdict::mix);  // no pid at first
  EXPECT_EQ(playback.reported(8, true, "100", 11.2, kLater), Verdict::leaveOut);
  playback.removed(7, 12.0);
  EXPECT_TRUE(playback.playedDuring(13.0, 13.1));  // 8 still plays
}

// PipeWire reports a playing sink input off its sink for a moment (between two links of its node)
// and not always its way back: the exclusion holds meanwhile, and the sink input is asked after.
TEST_F(ExcludedPlaybackTest, ALeftOutSinkInputReportedOffTheSinkCountsUntilItStaysAwayASecond) {
  playback.reported(7, true, "100", 10.0, kLater);
  EXPECT_EQ(playback.reported(7, false, "100", 11.0, kLater), Verdict::elsewhere);
  EXPECT_TRUE(playback.playedDuring(11.5, 11.52));
  EXPECT_EQ(playback.away(11.5), std::vector<uint32_t>{7});
  EXPECT_EQ(playback.reported(7, true, "100", 11.6, kLater), Verdict::leaveOut);  // back, unannounced
  EXPECT_TRUE(playback.away(13.0).empty());
  EXPECT_TRUE(playback.playedDuring(15.0, 15.02));

  // Away for good (moved to another sink): it ends where it left.
  playback.reported(7, false, "100", 20.0, kLater);
  EXPECT_EQ(playback.away(20.9), std::vector<uint32_t>{7});
  EXPECT_TRUE(playback.away(21.1).empty());
  EXPECT_TRUE(playback.playedDuring(20.0 + kMargin - 0.01, 20.2));
  EXPECT_FALSE(playback.playedDuring(20.0 + kMargin + 0.01, 20.2));
}

// The sound thread hears of a new sink input an event and a round trip after it began: the sound
// from just before its announcement waits for its report, so that an excluded one is left out from
// there and not handed on from the monitor meanwhile.
TEST_F(ExcludedPlaybackTest, AnAnnouncedSinkInputHoldsTheSoundBackUntilItsReport) {
  EXPECT_TRUE(std::isinf(playback.settledUntil(10.0)));
  playback.announced(7, 10.0);
  playback.announced(7, 10.1);  // again before the report: the first counts
  EXPECT_DOUBLE_EQ(playback.settledUntil(10.2), 10.0 - kMargin);
  EXPECT_EQ(playback.reported(7, true, "300", 10.3, kLater), Verdict::mix);
  EXPECT_TRUE(std::isinf(playback.settledUntil(10.3)));
  playback.announced(7, 11.0);  // a change of a judged one holds nothing back
  EXPECT_TRUE(std::isinf(playback.settledUntil(11.0)));

  playback.announced(8, 20.0);
  EXPECT_EQ(playback.reported(8, true, "100", 20.3, 20.15), Verdict::leaveOut);
  EXPECT_TRUE(playback.playedDuring(20.0 - kMargin + 0.001, 20.0));  // from its announcement

  playback.announced(9, 30.0);  // an answer that never comes holds the sound back only so long
  EXPECT_DOUBLE_EQ(playback.settledUntil(30.0 + ExcludedPlayback::kPendingSeconds - 0.01), 30.0 - kMargin);
  EXPECT_TRUE(std::isinf(playback.settledUntil(30.0 + ExcludedPlayback::kPendingSeconds + 0.01)));
  // An announcement reported off the sink (PipeWire's new node before its link) holds nothing more.
  playback.announced(10, 40.0);
  EXPECT_EQ(playback.reported(10, false, "300", 40.01, kLater), Verdict::elsewhere);
  EXPECT_TRUE(std::isinf(playback.settledUntil(40.02)));
}

TEST(ProcessIdProperty, OnlyAWholePositivePidInRangeNamesAProcess) {
  EXPECT_EQ(processIdProperty("4242"), 4242);
  EXPECT_EQ(processIdProperty("2147483647"), 2147483647);
  for (const char* text : {"", "0", "-7", "+7", " 7", "7 ", "7x", "0x10", "2147483648", "99999999999999999999"}) {
    EXPECT_FALSE(processIdProperty(text)) << '"' << text << '"';
  }
  EXPECT_FALSE(processIdProperty(nullptr));
}

}  // namespace
}  // namespace rezoro::capture
