#include "cutout/segmentation/gray_mask.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cutout/contract/cutout_failure.h"

namespace rezoro::cutout {
namespace {

// Rounds half away from zero and clamps to 0..255; NaN and infinities are background.
uint8_t byteOfCoverage(float value) {
  if (!std::isfinite(value)) return 0;
  const double q = std::round(static_cast<double>(value) * 255.0);
  if (q < 0) return 0;
  if (q >= 255) return 255;
  return static_cast<uint8_t>(q);
}

// Unlocks on every way out of the conversion once the lock has succeeded.
class ReadLock {
 public:
  explicit ReadLock(PixelBuffer& buffer) : buffer_(buffer) {}
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;
  ~ReadLock() { buffer_.unlockReadOnly(); }

 private:
  PixelBuffer& buffer_;
};

}  // namespace

GrayMask grayscaleMask(PixelBuffer& buffer) {
  const int64_t width = buffer.width();
  const int64_t height = buffer.height();
  if (width < 1 || height < 1) throw CutoutFailure::invalidInput;
  int64_t pixels = 0;
  if (__builtin_mul_overflow(width, height, &pixels) || pixels > maximumImagePixels) {
    throw CutoutFailure::imageTooLarge;
  }
  const PixelFormat format = buffer.format();
  if (format != PixelFormat::oneComponent32Float && format != PixelFormat::oneComponent8) {
    throw CutoutFailure::exportFailed;
  }
  if (!buffer.lockReadOnly()) throw CutoutFailure::exportFailed;
  const ReadLock lock(buffer);

  const uint8_t* base = buffer.baseAddress();
  const size_t stride = buffer.bytesPerRow();
  const size_t columns = static_cast<size_t>(width);
  const size_t sampleBytes = format == PixelFormat::oneComponent32Float ? 4 : 1;
  if (base == nullptr || stride < columns * sampleBytes) throw CutoutFailure::exportFailed;

  GrayMask mask{width, height, std::vector<uint8_t>(static_cast<size_t>(pixels), 0)};
  for (size_t row = 0; row < static_cast<size_t>(height); ++row) {
    const uint8_t* source = base + row * stride;
    uint8_t* target = mask.bytes.data() + row * columns;
    if (format == PixelFormat::oneComponent8) {
      std::copy_n(source, columns, target);
      continue;
    }
    for (size_t column = 0; column < columns; ++column) {
      float value;
      // The stride need not keep floats aligned, so samples are copied out rather than cast.
      std::memcpy(&value, source + column * 4, sizeof value);
      target[column] = byteOfCoverage(value);
    }
  }
  return mask;
}

double foregroundCoverage(const GrayMask& mask, const Rect& bounds) {
  return foregroundShareOf(mask.bytes, mask.width, mask.height, bounds, [](uint8_t value) { return value >= 128; });
}

MaskStatistics maskStatistics(const GrayMask& mask) {
  int64_t foreground = 0, low = 0, high = 0, zero = 0;
  const auto count = [&](uint8_t value) {
    foreground += value >= 128;
    low += value >= 16;
    high += value >= 250;
    zero += value <= 16;
  };
  const uint8_t* bytes = mask.bytes.data();
  const size_t size = mask.bytes.size();
  size_t i = 0;
  // A mask is mostly long runs of 0 and 255: such 8-byte words are counted whole.
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    if (word == 0) {
      zero += 8;
    } else if (word == ~uint64_t{0}) {
      foreground += 8;
      low += 8;
      high += 8;
    } else {
      for (size_t j = i; j < i + 8; ++j) count(bytes[j]);
    }
  }
  for (; i < size; ++i) count(bytes[i]);
  const double n = static_cast<double>(size);
  const bool empty = static_cast<double>(low) <= n * 0.00001;
  const bool full = static_cast<double>(high) >= n * 0.9995 && static_cast<double>(zero) <= n * 0.0001;
  return {foreground, empty || full};
}

}  // namespace rezoro::cutout
