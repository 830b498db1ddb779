#include "capture/platform/x11/screen_layout.h"

#include <gtest/gtest.h>

namespace rezoro::capture {
namespace {

TEST(LostAreaReason, TheAreaMustStayOnTheScreenAndOnItsMonitor) {
  const ScreenLayout layout{1920, 1080, {{7, {0, 0, 960, 1080}, true}, {8, {960, 0, 960, 1080}, false}}};
  const PixelRect left{100, 100, 640, 480};
  EXPECT_EQ(lostAreaReason(left, std::nullopt, layout), std::nullopt);
  EXPECT_EQ(lostAreaReason(left, 7u, layout), std::nullopt);
  EXPECT_EQ(lostAreaReason({0, 0, 1920, 1080}, std::nullopt, layout), std::nullopt);

  ScreenLayout shrunk = layout;
  shrunk.width = 700;
  EXPECT_NE(lostAreaReason(left, std::nullopt, shrunk), std::nullopt);  // cut at the right edge

  ScreenLayout unplugged = layout;
  unplugged.monitors.erase(unplugged.monitors.begin());
  EXPECT_NE(lostAreaReason(left, 7u, unplugged), std::nullopt);
  EXPECT_EQ(lostAreaReason(left, std::nullopt, unplugged), std::nullopt);  // the screen is still there

  ScreenLayout smaller = layout;
  smaller.monitors[0].frame.width = 640;
  EXPECT_NE(lostAreaReason(left, 7u, smaller), std::nullopt);
}

}  // namespace
}  // namespace rezoro::capture
