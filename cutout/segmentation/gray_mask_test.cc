#include "cutout/segmentation/gray_mask.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "cutout/contract/cutout_failure.h"

namespace rezoro::cutout {
namespace {

CutoutFailure failureOf(PixelBuffer& buffer) {
  try {
    grayscaleMask(buffer);
  } catch (CutoutFailure failure) {
    return failure;
  }
  ADD_FAILURE() << "no failure thrown";
  return CutoutFailure::nativeFailure;
}

// Reports a geometry, and optionally refuses to lock or has no storage, without allocating.
class ScriptedBuffer : public PixelBuffer {
 public:
  ScriptedBuffer(int64_t width, int64_t height, PixelFormat format, size_t bytesPerRow, bool lockable = true)
      : PixelBuffer(Unallocated{}, width, height, format, bytesPerRow), lockable_(lockable) {}
  bool lockReadOnly() override {
    if (!lockable_) return false;
    ++locks;
    return true;
  }
  void unlockReadOnly() override { ++unlocks; }
  const uint8_t* baseAddress() const override { return nullptr; }
  int locks = 0;
  int unlocks = 0;

 private:
  bool lockable_;
};

// A real buffer that counts its locks, to check that every path unlocks.
class CountingBuffer : public PixelBuffer {
 public:
  using PixelBuffer::PixelBuffer;
  bool lockReadOnly() override { ++locks; return true; }
  void unlockReadOnly() override { ++unlocks; }
  int locks = 0;
  int unlocks = 0;
};

TEST(GrayscaleMask, RoundsFloatCoverageHalfAwayFromZeroAndClamps) {
  const float inf = std::numeric_limits<float>::infinity();
  const float samples[] = {0.5f, 0.498f, 1.2f, -0.1f, std::nanf(""), inf, -inf, 0.0f, 1.0f, 0.002f};
  const uint8_t expected[] = {128, 127, 255, 0, 0, 0, 0, 0, 255, 1};
  CountingBuffer buffer(10, 1, PixelFormat::oneComponent32Float);
  std::memcpy(buffer.floatRow(0), samples, sizeof samples);
  const GrayMask mask = grayscaleMask(buffer);
  EXPECT_EQ(mask.width, 10);
  EXPECT_EQ(mask.height, 1);
  EXPECT_EQ(mask.bytes, std::vector<uint8_t>(std::begin(expected), std::end(expected)));
  EXPECT_EQ(buffer.locks, 1);
  EXPECT_EQ(buffer.unlocks, 1);
}

TEST(GrayscaleMask, DropsRowPaddingOfBothFormats) {
  PixelBuffer bytes(3, 2, PixelFormat::oneComponent8, 8);
  for (int64_t y = 0; y < 2; ++y) {
    for (int x = 0; x < 8; ++x) bytes.row(y)[x] = static_cast<uint8_t>(x < 3 ? 10 * y + x + 1 : 99);
  }
  EXPECT_EQ(grayscaleMask(bytes).bytes, (std::vector<uint8_t>{1, 2, 3, 11, 12, 13}));

  // A stride of 14 bytes leaves the floats of the second row unaligned.
  PixelBuffer floats(2, 2, PixelFormat::oneComponent32Float, 14);
  const float rows[2][3] = {{1.0f, 0.0f, 0.7f}, {0.0f, 1.0f, 0.7f}};
  for (int64_t y = 0; y < 2; ++y) std::memcpy(floats.row(y), rows[y], 12);
  const GrayMask mask = grayscaleMask(floats);
  EXPECT_EQ(mask.bytes, (std::vector<uint8_t>{255, 0, 0, 255}));
}

TEST(GrayscaleMask, RefusesWithTheFailureOfEachCheck) {
  PixelBuffer empty(0, 5, PixelFormat::oneComponent8);
  EXPECT_EQ(failureOf(empty), CutoutFailure::invalidInput);
  ScriptedBuffer negative(5, -1, PixelFormat::bgra32, 20);
  EXPECT_EQ(failureOf(negative), CutoutFailure::invalidInput);

  ScriptedBuffer tooLarge(8001, 8000, PixelFormat::oneComponent8, 8001);
  EXPECT_EQ(failureOf(tooLarge), CutoutFailure::imageTooLarge);
  ScriptedBuffer overflowing(int64_t{1} << 40, int64_t{1} << 40, PixelFormat::oneComponent8, 1);
  EXPECT_EQ(failureOf(overflowing), CutoutFailure::imageTooLarge);

  CountingBuffer bgra(2, 2, PixelFormat::bgra32);
  EXPECT_EQ(failureOf(bgra), CutoutFailure::exportFailed);
  EXPECT_EQ(bgra.locks, 0);

  ScriptedBuffer unlockable(4, 4, PixelFormat::oneComponent8, 4, false);
  EXPECT_EQ(failureOf(unlockable), CutoutFailure::exportFailed);
  EXPECT_EQ(unlockable.unlocks, 0);

  ScriptedBuffer noStorage(4, 4, PixelFormat::oneComponent8, 4);
  EXPECT_EQ(failureOf(noStorage), CutoutFailure::exportFailed);
  EXPECT_EQ(noStorage.locks, 1);
  EXPECT_EQ(noStorage.unlocks, 1);

  CountingBuffer shortFloatRows(4, 2, PixelFormat::oneComponent32Float, 15);
  EXPECT_EQ(failureOf(shortFloatRows), CutoutFailure::exportFailed);
  EXPECT_EQ(shortFloatRows.unlocks, 1);
  CountingBuffer shortByteRows(4, 2, PixelFormat::oneComponent8, 3);
  EXPECT_EQ(failureOf(shortByteRows), CutoutFailure::exportFailed);
}

TEST(GrayscaleMask, AcceptsTheLargestMask) {
  PixelBuffer largest(8000, 8000, PixelFormat::oneComponent8);
  largest.row(7999)[7999] = 200;
  const GrayMask mask = grayscaleMask(largest);
  EXPECT_EQ(mask.bytes.size(), 64000000u);
  EXPECT_EQ(mask.bytes.back(), 200);
}

GrayMask filled(int64_t width, int64_t height, uint8_t value) {
  return {width, height, std::vector<uint8_t>(static_cast<size_t>(width * height), value)};
}

TEST(ForegroundCoverage, DividesByTheClippedPixelArea) {
  GrayMask mask = filled(40, 30, 0);
  for (int y = 0; y < 10; ++y) {
    for (int x = 0; x < 10; ++x) mask.bytes[y * 40 + x] = 255;
  }
  EXPECT_EQ(foregroundCoverage(mask, {-10, -10, 20, 20}), 1.0);
  EXPECT_EQ(foregroundCoverage(mask, {50, 0, 10, 10}), 0.0);
  EXPECT_EQ(foregroundCoverage(mask, {0, -20, 10, 10}), 0.0);
  EXPECT_EQ(foregroundCoverage(mask, Rect::null()), 0.0);
  EXPECT_EQ(foregroundCoverage(mask, {0, 0, 20, 10}), 0.5);
  // Fractional edges snap outwards: 9.5..10.5 covers columns 9 and 10.
  EXPECT_EQ(foregroundCoverage(mask, {9.5, 0, 1, 1}), 0.5);
  // A negative size is the same rectangle.
  EXPECT_EQ(foregroundCoverage(mask, {10, 10, -10, -10}), 1.0);
  // 127 is background, 128 foreground.
  mask.bytes[0] = 127;
  mask.bytes[1] = 128;
  EXPECT_EQ(foregroundCoverage(mask, {0, 0, 2, 1}), 0.5);
}

TEST(MaskStatistics, FlagsEssentiallyEmptyAndEssentiallyFullMasks) {
  EXPECT_EQ(maskStatistics(filled(100, 100, 0)).foregroundCount, 0);
  EXPECT_TRUE(maskStatistics(filled(100, 100, 0)).isDegenerate);
  EXPECT_EQ(maskStatistics(filled(100, 100, 255)).foregroundCount, 10000);
  EXPECT_TRUE(maskStatistics(filled(100, 100, 255)).isDegenerate);

  GrayMask speck = filled(1000, 100, 0);
  speck.bytes[500] = 200;
  EXPECT_TRUE(maskStatistics(speck).isDegenerate);
  speck.bytes[501] = 200;
  EXPECT_FALSE(maskStatistics(speck).isDegenerate);
  EXPECT_EQ(maskStatistics(speck).foregroundCount, 2);

  // 99.96 % at 255, the rest 100: H passes and nothing is near zero.
  GrayMask nearlyFull = filled(1000, 100, 255);
  std::fill(nearlyFull.bytes.begin(), nearlyFull.bytes.begin() + 40, 100);
  EXPECT_TRUE(maskStatistics(nearlyFull).isDegenerate);
  // The same with the rest at 0: 40 zeros exceed 0.01 % (10 bytes).
  std::fill(nearlyFull.bytes.begin(), nearlyFull.bytes.begin() + 40, 0);
  EXPECT_FALSE(maskStatistics(nearlyFull).isDegenerate);
  EXPECT_EQ(maskStatistics(nearlyFull).foregroundCount, 99960);

  // Runs and loose bytes count alike, also in a tail shorter than a word.
  GrayMask mixed = filled(1003, 1, 0);
  std::fill_n(mixed.bytes.begin(), 500, 255);
  mixed.bytes[500] = 128;
  mixed.bytes[501] = 127;
  mixed.bytes[502] = 250;
  std::fill_n(mixed.bytes.begin() + 1000, 3, 200);
  EXPECT_EQ(maskStatistics(mixed).foregroundCount, 505);

  // A byte of exactly 16 counts as low-but-present and as near zero.
  GrayMask sixteen = filled(1000, 100, 16);
  EXPECT_FALSE(maskStatistics(sixteen).isDegenerate);
}

}  // namespace
}  // namespace rezoro::cutout
