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

// The map resized to width × height by bilinear interpolation between pixel centres, as a
// one-component float buffer. Samples are clamped to 0..1.
std::unique_ptr<PixelBuffer> scaledCoverage(const ProbabilityMap& map, int64_t width, int64_t height);

}  // namespace rezoro::cutout
