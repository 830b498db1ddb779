#include "cutout/segmentation/image_source.h"

#include "cutout/contract/cutout_failure.h"

namespace rezoro::cutout {

UprightImage uprightImage(ImageSource& source, int64_t width, int64_t height) {
  std::optional<UprightImage> image = source.uprightThumbnail(width, height);
  if (!image || image->width != width || image->height != height ||
      image->rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
    throw CutoutFailure::noForeground;
  }
  return std::move(*image);
}

}  // namespace rezoro::cutout
