#include "capture/platform/pipewire/frame_slots.h"

#include <gtest/gtest.h>

#include <vector>

namespace rezoro::capture {
namespace {

constexpr double kInterval = 1.0 / 24;

TEST(FrameSlotsTest, APictureAtItsTurnGoesAtOnceAndAnEarlyOneWaitsForTheTurn) {
  FrameSlots slots(kInterval);
  EXPECT_TRUE(slots.arrive(10.0));
  EXPECT_FALSE(slots.heldUntil());
  EXPECT_FALSE(slots.arrive(10.02));
  ASSERT_TRUE(slots.heldUntil());
  EXPECT_NEAR(*slots.heldUntil(), 10.0 + kInterval, 1e-9);
  EXPECT_FALSE(slots.release(10.03));  // not yet its turn
  EXPECT_TRUE(slots.release(10.0 + kInterval));
  EXPECT_FALSE(slots.heldUntil());
  EXPECT_FALSE(slots.release(10.1));  // nothing left to release
  // The next turn follows the released one.
  EXPECT_FALSE(slots.arrive(10.0 + 1.5 * kInterval));
  EXPECT_NEAR(*slots.heldUntil(), 10.0 + 2 * kInterval, 1e-9);
}

TEST(FrameSlotsTest, TheLastPictureOfABurstIsWrittenWithinOneIntervalAtMostOnePerInterval) {
  // Five changes 15 ms apart after a still screen, then nothing; a timer releases held pictures.
  FrameSlots slots(kInterval);
  struct Written {
    double time;
    int picture;
  };
  std::vector<Written> written;
  int held = -1;
  auto advanceTo = [&](double time) {
    if (slots.heldUntil() && *slots.heldUntil() <= time) {
      const double turn = *slots.heldUntil();
      ASSERT_TRUE(slots.release(turn));
      written.push_back({turn, held});
    }
  };
  const double start = 5.0;
  for (int i = 0; i < 5; ++i) {
    const double time = start + i * 0.015;
    advanceTo(time);
    if (slots.arrive(time)) {
      written.push_back({time, i});
    } else {
      held = i;
    }
  }
  advanceTo(start + 1.0);
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(written.back().picture, 4);
  EXPECT_LE(written.back().time - (start + 4 * 0.015), kInterval + 1e-9);
  for (size_t i = 1; i < written.size(); ++i) {
    EXPECT_GE(written[i].time - written[i - 1].time, kInterval - 0.004 - 1e-9);
  }
}

TEST(FrameSlotsTest, ANewerPictureTakesTheTurnOfAHeldOneAndAStopTakesTheHeldOne) {
  FrameSlots slots(kInterval);
  EXPECT_TRUE(slots.arrive(1.0));
  EXPECT_FALSE(slots.arrive(1.01));
  // Slightly early by the producer's jitter still counts as on time; the held one is older.
  EXPECT_TRUE(slots.arrive(1.0 + kInterval - 0.003));
  EXPECT_FALSE(slots.heldUntil());
  EXPECT_FALSE(slots.arrive(1.0 + kInterval + 0.01));
  EXPECT_TRUE(slots.takeHeld());
  EXPECT_FALSE(slots.takeHeld());
  EXPECT_FALSE(slots.heldUntil());
  // After a long still time the turns start again from the next picture.
  EXPECT_TRUE(slots.arrive(9.0));
  EXPECT_FALSE(slots.arrive(9.01));
  EXPECT_NEAR(*slots.heldUntil(), 9.0 + kInterval, 1e-9);
}

}  // namespace
}  // namespace rezoro::capture
