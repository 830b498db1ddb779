#pragma once

#include <filesystem>
#include <memory>

#include "cutout/segmentation/image_source.h"

namespace rezoro::cutout {

// An image file read with libvips: JPEG, PNG, WebP, TIFF, HEIF/AVIF, GIF. Opening reads only the
// header; decoding happens in uprightThumbnail.
class VipsImageSource final : public ImageSource {
 public:
  // Opens the file and reads its header. Returns null when its content is not one of the photo
  // formats above (whatever its name says) or libvips cannot read it.
  static std::unique_ptr<VipsImageSource> open(const std::filesystem::path& path);

  std::optional<ImageProperties> properties() override { return properties_; }
  // The header's size turned by its orientation (width and height swapped for 5..8).
  std::pair<int64_t, int64_t> uprightSize() const;
  std::optional<UprightImage> uprightThumbnail(int64_t width, int64_t height) override;

 private:
  struct Opened {
    explicit Opened() = default;
  };

 public:
  // Made only by open(); `decodable` is false for a header that libvips cannot load.
  VipsImageSource(Opened, std::filesystem::path path, ImageProperties properties, bool decodable)
      : path_(std::move(path)), properties_(properties), decodable_(decodable) {}

 private:

  std::filesystem::path path_;
  ImageProperties properties_;
  bool decodable_;
};

}  // namespace rezoro::cutout
