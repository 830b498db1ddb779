#pragma once

#include <cstdint>
#include <vector>

#include "cutout/segmentation/pixel_buffer.h"
#include "cutout/segmentation/rect.h"

namespace rezoro::cutout {

// An 8-bit mask, row-major, top row first, no row padding. A byte of 128 or more is foreground.
struct GrayMask {
  int64_t width = 0;
  int64_t height = 0;
  std::vector<uint8_t> bytes;
};

struct MaskStatistics {
  int64_t foregroundCount = 0;  // bytes >= 128
  bool isDegenerate = false;    // essentially empty or essentially full
};

// Converts a one-component float (0..1) or 8-bit buffer into a GrayMask of its size.
// Throws CutoutFailure: invalidInput for a zero-sized buffer, imageTooLarge above
// maximumImagePixels, exportFailed for another format, a failed lock, a null base address or too
// short a row stride. The buffer is always left unlocked.
GrayMask grayscaleMask(PixelBuffer& buffer);

// The fraction of `bounds`, clipped to the mask and snapped outwards to whole pixels, that is
// foreground; 0 when nothing of `bounds` lies inside the mask.
double foregroundCoverage(const GrayMask& mask, const Rect& bounds);

MaskStatistics maskStatistics(const GrayMask& mask);

}  // namespace rezoro::cutout
