#include "capture/platform/pulse/audio_timeline.h"

#include <gtest/gtest.h>

namespace rezoro::capture {
namespace {

constexpr double kBuffer = 960 / 48000.0;  // 20 ms

TEST(AudioTimeline, ContinuousBuffersFollowEachOtherExactlyDespiteLateReads) {
  AudioTimeline timeline(48000);
  EXPECT_DOUBLE_EQ(timeline.place(100.0, 960), 100.0);
  EXPECT_DOUBLE_EQ(timeline.place(100.023, 960), 100.02);  // read 3 ms late
  EXPECT_DOUBLE_EQ(timeline.place(100.039, 480), 100.04);  // 1 ms early
  // A burst of which only part had arrived: one estimate 70 ms late, then back on time.
  EXPECT_DOUBLE_EQ(timeline.place(100.05 + 0.070, 960), 100.05);
  EXPECT_DOUBLE_EQ(timeline.place(100.07, 960), 100.07);
  EXPECT_DOUBLE_EQ(timeline.place(100.09, 960), 100.09);
  EXPECT_EQ(timeline.reanchors(), 0);
}

TEST(AudioTimeline, AnEstimateEarlierThanTheTimelineRestartsItAtOnce) {
  AudioTimeline timeline(48000, 0.040);
  timeline.place(10.1, 960);  // the first read ran 100 ms late
  EXPECT_DOUBLE_EQ(timeline.place(10.12 - 0.039, 960), 10.12);  // within the tolerance
  EXPECT_DOUBLE_EQ(timeline.place(10.04, 960), 10.04);          // 100 ms earlier: the truth
  EXPECT_DOUBLE_EQ(timeline.place(10.06, 960), 10.06);
  EXPECT_EQ(timeline.reanchors(), 1);
}

TEST(AudioTimeline, SustainedLatenessMovesTheTimelineByTheSmallestLag) {
  AudioTimeline timeline(48000, 0.040, 0.250);
  double truth = 20.0;
  timeline.place(truth, 960);
  truth += kBuffer + 0.5;  // the server lost half a second
  double placed = 0;
  int buffers = 0;
  // Lagging estimates (0.5 s plus read jitter) are absorbed until they last 250 ms.
  for (; buffers < 20; ++buffers) {
    placed = timeline.place(truth + (buffers % 3) * 0.004, 960);
    if (timeline.reanchors() > 0) break;
    EXPECT_DOUBLE_EQ(placed, 20.0 + (buffers + 1) * kBuffer);
    truth += kBuffer;
  }
  EXPECT_EQ(buffers, 12);  // 13 buffers of 20 ms
  EXPECT_NEAR(placed, truth, 1e-9);  // moved by the smallest lag, not by the jitter
  EXPECT_DOUBLE_EQ(timeline.place(truth + kBuffer + 0.004, 960), truth + kBuffer);
}

// The reader (and the server) waited 180 ms for a core, then 125 ms more: each time the buffers of
// that time come one by one, up to 45 ms before the read, each estimated as captured 20 ms before
// it was read (the rest of the backlog is still in the socket). As on PipeWire at load 7: late for
// 260 ms of audio, but all from two moments 125 ms apart; nothing was lost, and the timeline stays.
TEST(AudioTimeline, ABacklogReadInBurstsIsNoLoss) {
  AudioTimeline timeline(48000, 0.040, 0.250);
  double truth = 30.0;
  for (int buffer = 0; buffer < 5; ++buffer, truth += kBuffer) EXPECT_DOUBLE_EQ(timeline.place(truth, 960), truth);
  for (const double readAt : {truth + 0.18, truth + 0.18 + 0.125}) {
    while (truth + kBuffer <= readAt - 0.045 + 1e-9) {
      EXPECT_DOUBLE_EQ(timeline.place(readAt - kBuffer, 960), truth);
      truth += kBuffer;
    }
  }
  EXPECT_DOUBLE_EQ(timeline.place(truth + 0.001, 960), truth);  // on time again
  EXPECT_EQ(timeline.reanchors(), 0);
}

TEST(AudioTimelineEdges, HolesAdvanceTheTimelineAndDiscontinuitiesReanchor) {
  AudioTimeline timeline(48000);
  timeline.place(5.0, 480);
  timeline.skip(480);  // 10 ms the server could not deliver
  EXPECT_DOUBLE_EQ(timeline.place(5.021, 960), 5.02);
  timeline.discontinuity();
  EXPECT_DOUBLE_EQ(timeline.place(5.141, 960), 5.141);
  // A hole before anything was placed has nothing to advance.
  AudioTimeline fresh(48000);
  fresh.skip(1000);
  EXPECT_DOUBLE_EQ(fresh.place(1.0, 10), 1.0);
}

}  // namespace
}  // namespace rezoro::capture
