#include "capture/platform/wayland/wayland_outputs.h"

#include <gtest/gtest.h>

namespace rezoro::capture {
namespace {

// A picture is its stride times its height; figures that hold no picture, or that only look small
// in 32 bits, are refused.
TEST(PictureBytesTest, IsTheStrideTimesTheHeightOfAPictureThatFitsAndNothingElse) {
  EXPECT_EQ(pictureBytes(1600, 1200, 6400), std::optional<size_t>(6400u * 1200));
  EXPECT_EQ(pictureBytes(1, 1, 64), std::optional<size_t>(64));  // padded rows
  EXPECT_EQ(pictureBytes(16384, 16384, 65536), std::optional<size_t>(size_t{1} << 30));
  const struct {
    uint32_t width, height, stride;
  } refused[] = {
      {0, 1200, 6400},
      {1600, 0, 6400},
      {1600, 1200, 6399},          // a row shorter than its pixels
      {16384, 16385, 65536},       // one byte over 1 GiB
      {0x40000001u, 1, 4},         // 0x40000001 × 4 is 4 in 32 bits
      {0x40000001u, 2, 64},
      {1024, 0x40000u, 0x10000u},  // stride × height beyond 32 bits, not taken for its low bits
  };
  for (const auto& figures : refused) {
    EXPECT_EQ(pictureBytes(figures.width, figures.height, figures.stride), std::nullopt)
        << figures.width << " x " << figures.height << ", stride " << figures.stride;
  }
}

}  // namespace
}  // namespace rezoro::capture
