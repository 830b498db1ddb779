#include "cutout/platform/vips/orientation.h"

#include <gtest/gtest.h>

namespace rezoro::cutout {
namespace {

TEST(Orientation, TreatsUnknownOrientationsAsUpright) {
  EXPECT_EQ(validOrientation(0), 1);
  EXPECT_EQ(validOrientation(9), 1);
  EXPECT_EQ(validOrientation(-6), 1);
  EXPECT_EQ(validOrientation(int64_t{1} << 32 | 6), 1);
  EXPECT_EQ(validOrientation(6), 6);
  EXPECT_FALSE(swapsAxes(4));
  EXPECT_TRUE(swapsAxes(5));
  EXPECT_TRUE(swapsAxes(8));
}

}  // namespace
}  // namespace rezoro::cutout
