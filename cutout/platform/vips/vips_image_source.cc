#include "cutout/platform/vips/vips_image_source.h"

#include "cutout/platform/vips/orientation.h"
#include "cutout/platform/vips/png_header.h"
#include "cutout/platform/vips/vips_support.h"

#include <array>
#include <fstream>

namespace rezoro::cutout {
namespace {

// Whether libvips runs; it starts once per process, quietly.
bool vipsStarted() {
  try {
    startVips();
    return true;
  } catch (const VipsError&) {
    return false;
  }
}

using VipsImagePointer = VipsImagePtr;

// libvips refuses PNGs wider or taller than this with an empty error message.
constexpr uint32_t vipsPngLimit = 10000000;

// The width and height from the file's PNG header, or nothing when it does not start like a PNG.
std::optional<std::pair<uint32_t, uint32_t>> pngFileHeaderSize(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::array<unsigned char, pngHeaderBytes> head{};
  if (!file.read(reinterpret_cast<char*>(head.data()), head.size())) return std::nullopt;
  return pngHeaderSize(head);
}

}  // namespace

std::unique_ptr<VipsImageSource> VipsImageSource::open(const std::filesystem::path& path) {
  if (!vipsStarted()) return nullptr;
  // Only the photo formats are read at all: the loader is chosen by the file's content, and any
  // other format is refused here, before a decoder sees more than its signature.
  if (!isPhotoFile(path)) return nullptr;
  if (const auto png = pngFileHeaderSize(path); png && (png->first > vipsPngLimit || png->second > vipsPngLimit)) {
    // Report the real size so that the caller refuses the image as too large, not as unreadable.
    ImageProperties properties{double(png->first), double(png->second), std::nullopt};
    return std::make_unique<VipsImageSource>(Opened{}, path, properties, false);
  }
  VipsImagePointer image(vips_image_new_from_file(path.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
  vips_error_clear();
  if (!image) return nullptr;
  ImageProperties properties{double(vips_image_get_width(image.get())), double(vips_image_get_height(image.get())),
                             std::nullopt};
  int orientation = 0;
  if (vips_image_get_typeof(image.get(), VIPS_META_ORIENTATION) != 0 &&
      vips_image_get_int(image.get(), VIPS_META_ORIENTATION, &orientation) == 0) {
    properties.orientation = orientation;
  }
  vips_error_clear();
  return std::make_unique<VipsImageSource>(Opened{}, path, properties, true);
}

std::pair<int64_t, int64_t> VipsImageSource::uprightSize() const {
  const auto width = int64_t(properties_.pixelWidth.value_or(0)), height = int64_t(properties_.pixelHeight.value_or(0));
  const int orientation = validOrientation(properties_.orientation ? int64_t(*properties_.orientation) : 1);
  return swapsAxes(orientation) ? std::pair{height, width} : std::pair{width, height};
}

std::optional<UprightImage> VipsImageSource::uprightThumbnail(int64_t width, int64_t height) {
  if (!decodable_ || width < 1 || height < 1 || width > VIPS_MAX_COORD || height > VIPS_MAX_COORD) return std::nullopt;
  if (!vipsStarted()) return std::nullopt;
  auto step = [](VipsImagePointer& image, auto operation) {
    VipsImage* out = nullptr;
    if (operation(image.get(), &out) != 0) {
      vips_error_clear();
      image.reset();
      return false;
    }
    image.reset(out);
    return true;
  };
  // The stored picture at the size that turns into width × height, then turned by its own tag.
  const int orientation = validOrientation(properties_.orientation ? int64_t(*properties_.orientation) : 1);
  const bool turned = swapsAxes(orientation);
  VipsImagePointer image;
  try {
    image = resizedFile(path_, int(turned ? height : width), int(turned ? width : height));
  } catch (const VipsError&) {
    return std::nullopt;
  }
  // A quarter or half turn reads the stored picture out of order, which a file decoded row by row
  // refuses once it is larger than the decoder's buffer: the turn works on a decoded copy.
  if (orientation != 1 &&
      (!step(image, [](VipsImage* in, VipsImage** out) { return (*out = vips_image_copy_memory(in)) ? 0 : -1; }) ||
       !step(image, [](VipsImage* in, VipsImage** out) { return vips_autorot(in, out, nullptr); }))) {
    return std::nullopt;
  }
  if (!step(image, [](VipsImage* in, VipsImage** out) { return vips_colourspace(in, out, VIPS_INTERPRETATION_sRGB, nullptr); }) ||
      !step(image, [](VipsImage* in, VipsImage** out) { return vips_cast(in, out, VIPS_FORMAT_UCHAR, nullptr); })) {
    return std::nullopt;
  }
  if (image->Bands > 3 &&
      !step(image, [](VipsImage* in, VipsImage** out) { return vips_extract_band(in, out, 0, "n", 3, nullptr); })) {
    return std::nullopt;
  }
  if (image->Bands != 3 || image->Xsize != width || image->Ysize != height) return std::nullopt;
  // Decode straight into the result's pixels.
  UprightImage upright{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * static_cast<size_t>(height) * 3)};
  VipsImagePointer target(vips_image_new_from_memory(upright.rgb.data(), upright.rgb.size(), int(width), int(height), 3,
                                                     VIPS_FORMAT_UCHAR));
  const bool written = target && vips_image_write(image.get(), target.get()) == 0;
  vips_error_clear();
  if (!written) return std::nullopt;
  return upright;
}

}  // namespace rezoro::cutout
