#include "cutout/segmentation/probability_map.h"

#include <gtest/gtest.h>

#include <cmath>

#include "cutout/segmentation/gray_mask.h"

namespace rezoro::cutout {
namespace {

ProbabilityMap mapOf(int64_t width, int64_t height, std::vector<float> values) {
  return {width, height, std::move(values)};
}

TEST(KeepInstances, KeepsDiagonallyConnectedRegionsAndDropsSpecks) {
  // A diagonal region of 3 pixels, a soft pixel (0.4) beside it, and a lone speck.
  ProbabilityMap map = mapOf(5, 4, {
      0.9f, 0.0f, 0.0f, 0.0f, 0.0f,
      0.0f, 0.5f, 0.4f, 0.0f, 0.0f,
      0.0f, 0.0f, 0.7f, 0.0f, 0.0f,
      0.0f, 0.0f, 0.0f, 0.0f, 0.8f,
  });
  const InstanceLabels labels = keepInstances(map, 2);
  EXPECT_EQ(labels.count, 1);
  EXPECT_EQ(labels.labels, (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(map.values[19], 0.0f);  // the speck is gone
  EXPECT_EQ(map.values[7], 0.4f);   // soft edges stay
  EXPECT_EQ(map.values[0], 0.9f);
}

TEST(KeepInstances, NumbersRegionsInRasterOrder) {
  ProbabilityMap map = mapOf(4, 3, {
      0.0f, 0.0f, 0.0f, 0.6f,
      1.0f, 0.0f, 0.0f, 0.0f,
      1.0f, 0.0f, 0.0f, 0.0f,
  });
  const InstanceLabels labels = keepInstances(map, 1);
  EXPECT_EQ(labels.count, 2);
  EXPECT_EQ(labels.labels[3], 1);
  EXPECT_EQ(labels.labels[4], 2);
  EXPECT_EQ(labels.labels[8], 2);
}

TEST(ScaledCoverage, InterpolatesBetweenPixelCentresIntoBytes) {
  const ProbabilityMap map = mapOf(2, 1, {0.0f, 1.0f});
  const auto wide = scaledCoverage(map, 4, 2);
  ASSERT_EQ(wide->format(), PixelFormat::oneComponent8);
  ASSERT_EQ(wide->width(), 4);
  ASSERT_EQ(wide->height(), 2);
  for (int64_t y = 0; y < 2; ++y) {
    const uint8_t* row = wide->row(y);
    // 0, 0.25, 0.75, 1 of 255, rounded half up.
    EXPECT_EQ(std::vector<int>(row, row + 4), (std::vector<int>{0, 64, 191, 255}));
  }
  // Shrinking 4 rows to 2 samples between rows 0-1 and 2-3: 0.5 and 0.6.
  const auto tall = scaledCoverage(mapOf(1, 4, {0.0f, 1.0f, 1.0f, 0.2f}), 1, 2);
  EXPECT_EQ(tall->row(0)[0], 128);
  EXPECT_EQ(tall->row(1)[0], 153);
  // Values the network may overshoot to are clamped; NaN is background.
  EXPECT_EQ(scaledCoverage(mapOf(1, 1, {1.5f}), 3, 3)->row(2)[2], 255);
  EXPECT_EQ(scaledCoverage(mapOf(1, 1, {-0.1f}), 2, 2)->row(1)[1], 0);
  EXPECT_EQ(scaledCoverage(mapOf(1, 1, {std::nanf("")}), 2, 2)->row(1)[1], 0);
}

TEST(ScaledCoverage, RoundsExactlyAsTheFloatConversionDoes) {
  // 0.50392157f × 255 is 128.49999994 exactly, but 128.5 in float arithmetic.
  for (const float value : {0.50392157f, 0.5f, 0.498f}) {
    const auto byte = scaledCoverage(mapOf(1, 1, {value}), 1, 1);
    PixelBuffer coverage(1, 1, PixelFormat::oneComponent32Float);
    coverage.floatRow(0)[0] = value;
    EXPECT_EQ(byte->row(0)[0], grayscaleMask(coverage).bytes[0]) << value;
  }
}

TEST(ScaledCoverage, KeepsEveryPixelAtTheMapsOwnSize) {
  const ProbabilityMap map = mapOf(3, 2, {0.0f, 0.2f, 0.50392157f, 1.5f, std::nanf(""), 0.75f});
  const auto same = scaledCoverage(map, 3, 2);
  ASSERT_EQ(same->width(), 3);
  ASSERT_EQ(same->height(), 2);
  EXPECT_EQ(std::vector<int>(same->row(0), same->row(0) + 3), (std::vector<int>{0, 51, 128}));
  EXPECT_EQ(std::vector<int>(same->row(1), same->row(1) + 3), (std::vector<int>{255, 0, 191}));
}

TEST(ScaledCoverage, UpscalesToAnOddSizeWithoutLeavingRowsUnfilled) {
  ProbabilityMap map = mapOf(3, 3, std::vector<float>(9, 1.0f));
  const auto scaled = scaledCoverage(map, 1001, 7);
  for (int64_t y = 0; y < 7; ++y) {
    for (int64_t x = 0; x < 1001; ++x) ASSERT_EQ(scaled->row(y)[x], 255) << x << "," << y;
  }
}

}  // namespace
}  // namespace rezoro::cutout
