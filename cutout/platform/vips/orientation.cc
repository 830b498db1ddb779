#include "cutout/platform/vips/orientation.h"

#include <algorithm>

namespace rezoro::cutout {

int validOrientation(int64_t orientation) {
  return orientation >= 1 && orientation <= 8 ? static_cast<int>(orientation) : 1;
}

bool swapsAxes(int orientation) { return orientation >= 5 && orientation <= 8; }

std::vector<uint8_t> uprightPixels(std::span<const uint8_t> stored, int64_t width, int64_t height, int channels,
                                   int orientation) {
  orientation = validOrientation(orientation);
  const int64_t uprightWidth = swapsAxes(orientation) ? height : width;
  const int64_t uprightHeight = swapsAxes(orientation) ? width : height;
  std::vector<uint8_t> upright(stored.size());
  const size_t pixelBytes = static_cast<size_t>(channels);
  for (int64_t uy = 0; uy < uprightHeight; ++uy) {
    for (int64_t ux = 0; ux < uprightWidth; ++ux) {
      // Where the upright pixel (ux, uy) sits in the stored picture.
      int64_t sx = ux, sy = uy;
      switch (orientation) {
        case 2: sx = width - 1 - ux; break;
        case 3: sx = width - 1 - ux; sy = height - 1 - uy; break;
        case 4: sy = height - 1 - uy; break;
        case 5: sx = uy; sy = ux; break;
        case 6: sx = uy; sy = height - 1 - ux; break;
        case 7: sx = width - 1 - uy; sy = height - 1 - ux; break;
        case 8: sx = width - 1 - uy; sy = ux; break;
        default: break;
      }
      std::copy_n(stored.data() + static_cast<size_t>(sy * width + sx) * pixelBytes, pixelBytes,
                  upright.data() + static_cast<size_t>(uy * uprightWidth + ux) * pixelBytes);
    }
  }
  return upright;
}

}  // namespace rezoro::cutout
