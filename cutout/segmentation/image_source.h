#pragma once

#include <cstdint>
#include <optional>

#include "cutout/segmentation/upright_image.h"

namespace rezoro::cutout {

// Header properties of an image file's first image, each as the number the header holds, or
// nothing when the header lacks it.
struct ImageProperties {
  std::optional<double> pixelWidth;
  std::optional<double> pixelHeight;
  std::optional<double> orientation;  // EXIF orientation as stored, not validated
};

// An opened image file. Abstract so that the pipeline and the recovery can be tested without
// image files; the real one is VipsImageSource.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // The header properties, or nothing when the file has none.
  virtual std::optional<ImageProperties> properties() = 0;
  // The image decoded with its orientation applied, scaled to width × height. Returns nothing when
  // it cannot be decoded (including a truncated file).
  virtual std::optional<UprightImage> uprightThumbnail(int64_t width, int64_t height) = 0;
};

// The image decoded upright at exactly width × height. Throws CutoutFailure::noForeground when it
// cannot be decoded or comes back at another size.
UprightImage uprightImage(ImageSource& source, int64_t width, int64_t height);

}  // namespace rezoro::cutout
