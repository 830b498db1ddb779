#include "capture/platform/audio_timeline.h"

#include <gtest/gtest.h>

namespace rezoro::capture {
namespace {

TEST(AudioTimeline, ContinuousBuffersFollowEachOtherExactlyDespiteJitteryEstimates) {
  AudioTimeline timeline(48000);
  EXPECT_DOUBLE_EQ(timeline.place(100.0, 960), 100.0);
  // Read 3 ms late, then 1 ms early: the stream is continuous, the stamps are too.
  EXPECT_DOUBLE_EQ(timeline.place(100.023, 960), 100.02);
  EXPECT_DOUBLE_EQ(timeline.place(100.039, 480), 100.04);
  EXPECT_DOUBLE_EQ(timeline.place(100.05, 960), 100.05);
  EXPECT_EQ(timeline.reanchors(), 0);
}

TEST(AudioTimeline, ReanchorsWhenTheEstimatePartsBeyondTheToleranceEitherWay) {
  AudioTimeline timeline(48000, 0.040);
  timeline.place(10.0, 960);
  EXPECT_DOUBLE_EQ(timeline.place(10.5, 960), 10.5);  // audio was lost: a gap of 0.48 s
  EXPECT_DOUBLE_EQ(timeline.place(10.52, 960), 10.52);
  EXPECT_DOUBLE_EQ(timeline.place(10.45, 960), 10.45);  // the clock went back relative to the stream
  EXPECT_DOUBLE_EQ(timeline.place(10.47 + 0.039, 960), 10.47);  // within the tolerance: continues
  EXPECT_EQ(timeline.reanchors(), 2);
}

TEST(AudioTimelineEdges, HolesAdvanceTheTimelineAndDiscontinuitiesReanchor) {
  AudioTimeline timeline(48000);
  timeline.place(5.0, 480);
  timeline.skip(480);  // 10 ms the server could not deliver
  EXPECT_DOUBLE_EQ(timeline.place(5.021, 960), 5.02);
  timeline.discontinuity();
  EXPECT_DOUBLE_EQ(timeline.place(5.041, 960), 5.041);
  // A hole before anything was placed has nothing to advance.
  AudioTimeline fresh(48000);
  fresh.skip(1000);
  EXPECT_DOUBLE_EQ(fresh.place(1.0, 10), 1.0);
}

}  // namespace
}  // namespace rezoro::capture
