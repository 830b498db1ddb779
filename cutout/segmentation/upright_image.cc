#include "cutout/segmentation/upright_image.h"

#include <algorithm>
#include <cmath>

namespace rezoro::cutout {

std::optional<UprightImage> UprightImage::cropped(const Rect& rect) const {
  if (rect.isEmpty()) return std::nullopt;
  const Rect r = rect.standardized();
  if (r.x != std::floor(r.x) || r.y != std::floor(r.y) || r.width != std::floor(r.width) ||
      r.height != std::floor(r.height)) {
    return std::nullopt;
  }
  if (r.x < 0 || r.y < 0 || r.maxX() > static_cast<double>(width) || r.maxY() > static_cast<double>(height)) {
    return std::nullopt;
  }
  UprightImage out;
  out.width = static_cast<int64_t>(r.width);
  out.height = static_cast<int64_t>(r.height);
  out.rgb.resize(static_cast<size_t>(out.width * out.height * 3));
  const size_t rowBytes = static_cast<size_t>(out.width) * 3;
  for (int64_t row = 0; row < out.height; ++row) {
    const auto* source = rgb.data() + (static_cast<size_t>(r.y) + static_cast<size_t>(row)) * static_cast<size_t>(width) * 3 +
                         static_cast<size_t>(r.x) * 3;
    std::copy_n(source, rowBytes, out.rgb.data() + static_cast<size_t>(row) * rowBytes);
  }
  return out;
}

}  // namespace rezoro::cutout
