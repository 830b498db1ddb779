#include "capture/platform/wayland/wayland_outputs.h"

#include <gtest/gtest.h>

namespace rezoro::capture {
namespace {

TEST(PictureBytesTest, APictureOfPackedOrPaddedRowsIsItsStrideTimesItsHeight) {
  EXPECT_EQ(pictureBytes(1600, 1200, 6400), std::optional<size_t>(6400u * 1200));
  EXPECT_EQ(pictureBytes(1, 1, 64), std::optional<size_t>(64));
}

TEST(PictureBytesTest, FiguresThatHoldNoPictureAreRefused) {
  EXPECT_EQ(pictureBytes(0, 1200, 6400), std::nullopt);
  EXPECT_EQ(pictureBytes(1600, 0, 6400), std::nullopt);
  EXPECT_EQ(pictureBytes(1600, 1200, 6399), std::nullopt);  // a row shorter than its pixels
  EXPECT_EQ(pictureBytes(16384, 16385, 65536), std::nullopt);  // one byte over 1 GiB
  EXPECT_EQ(pictureBytes(16384, 16384, 65536), std::optional<size_t>(size_t{1} << 30));
}

TEST(PictureBytesTest, AWidthWhoseRowOverflowsThirtyTwoBitsIsRefused) {
  // 0x40000001 × 4 is 4 in 32 bits: a stride of 4 must not pass for such a row.
  EXPECT_EQ(pictureBytes(0x40000001u, 1, 4), std::nullopt);
  EXPECT_EQ(pictureBytes(0x40000001u, 2, 64), std::nullopt);
  // stride × height beyond 32 bits is not taken for its low bits either.
  EXPECT_EQ(pictureBytes(1024, 0x40000u, 0x10000u), std::nullopt);
}

}  // namespace
}  // namespace rezoro::capture
