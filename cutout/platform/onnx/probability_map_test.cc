#include "cutout/platform/onnx/probability_map.h"

#include <gtest/gtest.h>

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

TEST(ScaledCoverage, InterpolatesBetweenPixelCentres) {
  const ProbabilityMap map = mapOf(2, 1, {0.0f, 1.0f});
  const auto wide = scaledCoverage(map, 4, 2);
  ASSERT_EQ(wide->format(), PixelFormat::oneComponent32Float);
  ASSERT_EQ(wide->width(), 4);
  ASSERT_EQ(wide->height(), 2);
  for (int64_t y = 0; y < 2; ++y) {
    const float* row = wide->floatRow(y);
    EXPECT_FLOAT_EQ(row[0], 0.0f);
    EXPECT_FLOAT_EQ(row[1], 0.25f);
    EXPECT_FLOAT_EQ(row[2], 0.75f);
    EXPECT_FLOAT_EQ(row[3], 1.0f);
  }
  // Shrinking 4 rows to 2 samples between rows 0-1 and 2-3.
  const auto tall = scaledCoverage(mapOf(1, 4, {0.0f, 1.0f, 1.0f, 0.2f}), 1, 2);
  EXPECT_FLOAT_EQ(tall->floatRow(0)[0], 0.5f);
  EXPECT_FLOAT_EQ(tall->floatRow(1)[0], 0.6f);
  // Values the network may overshoot to are clamped.
  const auto clamped = scaledCoverage(mapOf(1, 1, {1.5f}), 3, 3);
  EXPECT_FLOAT_EQ(clamped->floatRow(2)[2], 1.0f);
}

TEST(ScaledCoverage, UpscalesToAnOddSizeWithoutLeavingRowsUnfilled) {
  ProbabilityMap map = mapOf(3, 3, std::vector<float>(9, 1.0f));
  const auto scaled = scaledCoverage(map, 1001, 7);
  for (int64_t y = 0; y < 7; ++y) {
    for (int64_t x = 0; x < 1001; ++x) ASSERT_FLOAT_EQ(scaled->floatRow(y)[x], 1.0f) << x << "," << y;
  }
}

}  // namespace
}  // namespace rezoro::cutout
