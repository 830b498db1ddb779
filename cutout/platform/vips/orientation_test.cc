#include "cutout/platform/vips/orientation.h"

#include <gtest/gtest.h>

namespace rezoro::cutout {
namespace {

// A 3 × 2 picture with distinct one-byte pixels:  1 2 3
//                                                 4 5 6
const std::vector<uint8_t> stored{1, 2, 3, 4, 5, 6};

TEST(UprightPixels, TurnsThePictureForEachOrientation) {
  EXPECT_EQ(uprightPixels(stored, 3, 2, 1, 1), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(uprightPixels(stored, 3, 2, 1, 2), (std::vector<uint8_t>{3, 2, 1, 6, 5, 4}));
  EXPECT_EQ(uprightPixels(stored, 3, 2, 1, 3), (std::vector<uint8_t>{6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(uprightPixels(stored, 3, 2, 1, 4), (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
  // The quarter turns give 2 × 3 pictures.
  EXPECT_EQ(uprightPixels(stored, 3, 2, 1, 5), (std::vector<uint8_t>{1, 4, 2, 5, 3, 6}));
  EXPECT_EQ(uprightPixels(stored, 3, 2, 1, 6), (std::vector<uint8_t>{4, 1, 5, 2, 6, 3}));
  EXPECT_EQ(uprightPixels(stored, 3, 2, 1, 7), (std::vector<uint8_t>{6, 3, 5, 2, 4, 1}));
  EXPECT_EQ(uprightPixels(stored, 3, 2, 1, 8), (std::vector<uint8_t>{3, 6, 2, 5, 1, 4}));
}

TEST(UprightPixels, TreatsUnknownOrientationsAsUpright) {
  EXPECT_EQ(validOrientation(0), 1);
  EXPECT_EQ(validOrientation(9), 1);
  EXPECT_EQ(validOrientation(-6), 1);
  EXPECT_EQ(validOrientation(int64_t{1} << 32 | 6), 1);
  EXPECT_EQ(uprightPixels(stored, 3, 2, 1, 42), stored);
  EXPECT_FALSE(swapsAxes(4));
  EXPECT_TRUE(swapsAxes(5));
}

TEST(UprightPixels, MovesWholeMultiChannelPixels) {
  const std::vector<uint8_t> rgb{1, 2, 3, 4, 5, 6};  // two RGB pixels side by side
  EXPECT_EQ(uprightPixels(rgb, 2, 1, 3, 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(uprightPixels(rgb, 2, 1, 3, 2), (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
}

}  // namespace
}  // namespace rezoro::cutout
