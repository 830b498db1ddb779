#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "cutout/segmentation/rect.h"

namespace rezoro::cutout {

// A decoded image, upright (its orientation already applied), 8-bit RGB, rows packed
// (width × 3 bytes each), top row first.
struct UprightImage {
  int64_t width = 0;
  int64_t height = 0;
  std::vector<uint8_t> rgb;

  // The pixels of `rect` (whole pixels, inside the image) as a new image, or nothing when `rect`
  // is empty, not on whole pixels, or reaches outside the image.
  std::optional<UprightImage> cropped(const Rect& rect) const;
};

}  // namespace rezoro::cutout
