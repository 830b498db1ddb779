#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "cutout/segmentation/pixel_buffer.h"

namespace rezoro::cutout {

// A segmentation network's output: one foreground probability per pixel, row-major.
struct ProbabilityMap {
  int64_t width = 0;
  int64_t height = 0;
  std::vector<float> values;
};

// The foreground instances of a map: every 8-connected region of pixels with probability ≥ 0.5
// holding at least `minimumArea` pixels, numbered from 1 in raster order of their first pixel.
// `labels` gives each pixel its instance, 0 for pixels outside every instance.
struct InstanceLabels {
  int32_t count = 0;
  std::vector<int32_t> labels;
};

// Labels the instances of `map` and sets the pixels of smaller regions to 0 in `map`, so that
// specks do not reach the mask.
InstanceLabels keepInstances(ProbabilityMap& map, int64_t minimumArea);

// `map` resized to width × height by bilinear interpolation between pixel centres.
ProbabilityMap resampledMap(const ProbabilityMap& map, int64_t width, int64_t height);

// The map resized to width × height by bilinear interpolation between pixel centres, as a
// one-component 8-bit buffer: each interpolated coverage, clamped to 0..1 (NaN as 0), times 255 and
// rounded half up, the byte grayscaleMask makes of the same coverage. Made in one pass at the output size, without a full-size float plane.
std::unique_ptr<PixelBuffer> scaledCoverage(const ProbabilityMap& map, int64_t width, int64_t height);

// One coverage as a mask byte, as scaledCoverage makes it.
inline uint8_t coverageByte(float value) {
  value = value > 0.0f ? value : 0.0f;  // NaN fails the comparison and becomes 0
  value = value < 1.0f ? value : 1.0f;
  // In double the product is exact, so halves round up exactly as grayscaleMask rounds a float buffer.
  return static_cast<uint8_t>(static_cast<int32_t>(static_cast<double>(value) * 255.0 + 0.5));
}

}  // namespace rezoro::cutout
