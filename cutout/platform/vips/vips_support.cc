#include "cutout/platform/vips/vips_support.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace rezoro::cutout {
namespace {

void discardMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

// The loader classes of the raster formats a photo library hands over; each covers its file,
// buffer and source forms. libvips 8.14 has no loader of its own for BMP.
constexpr std::array<const char*, 6> photoLoaders{
    "VipsForeignLoadJpeg", "VipsForeignLoadPng",  "VipsForeignLoadWebp",
    "VipsForeignLoadTiff", "VipsForeignLoadHeif", "VipsForeignLoadNsgif",
};

}  // namespace

void startVips() {
  static const bool started = [] {
    // Installed before VIPS_INIT so that nothing it says at start-up reaches stderr either.
    g_log_set_default_handler(discardMessage, nullptr);
    const auto everyLevel = static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
    for (const char* domain : {"VIPS", "GLib", "GLib-GObject", "GModule"}) {
      g_log_set_handler(domain, everyLevel, discardMessage, nullptr);
    }
    if (VIPS_INIT("rezoro-cutout") != 0) return false;
    vips_cache_set_max(0);
    vips_cache_set_max_mem(0);
    vips_cache_set_max_files(0);
    // Nothing marked unsafe for untrusted input runs, and of the loaders only the photo ones.
    vips_block_untrusted_set(TRUE);
    vips_operation_block_set("VipsForeignLoad", TRUE);
    for (const char* loader : photoLoaders) vips_operation_block_set(loader, FALSE);
    return true;
  }();
  if (!started) throwVipsError("libvips did not start");
}

bool isPhotoFile(const std::filesystem::path& path) {
  startVips();
  // The class that content sniffing picks, e.g. VipsForeignLoadJpegFile.
  const char* loader = vips_foreign_find_load(path.c_str());
  vips_error_clear();
  if (loader == nullptr) return false;
  const GType found = g_type_from_name(loader);
  return std::any_of(photoLoaders.begin(), photoLoaders.end(),
                     [&](const char* allowed) { return g_type_is_a(found, g_type_from_name(allowed)); });
}

void throwVipsError(const std::string& what) {
  std::string message = what;
  const char* detail = vips_error_buffer();
  if (detail != nullptr && *detail != '\0') message += ": " + std::string(detail);
  vips_error_clear();
  throw VipsError(message);
}

int jpegShrink(int storedWidth, int storedHeight, int width, int height) {
  int shrink = 8;
  while (shrink > 1 && (storedWidth / shrink < width || storedHeight / shrink < height)) shrink /= 2;
  return shrink;
}

VipsImagePtr resizedFile(const std::filesystem::path& path, int width, int height) {
  startVips();
  // Opening reads the header only; pixels are decoded as the pipeline pulls them.
  VipsImagePtr image(vips_image_new_from_file(path.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                              VIPS_FAIL_ON_TRUNCATED, nullptr));
  if (!image) throwVipsError("cannot open " + path.string());
  const char* loader = nullptr;
  const bool jpeg = vips_image_get_typeof(image.get(), "vips-loader") != 0 &&
                    vips_image_get_string(image.get(), "vips-loader", &loader) == 0 && loader != nullptr &&
                    std::string_view(loader) == "jpegload";
  const int shrink = jpeg ? jpegShrink(image->Xsize, image->Ysize, width, height) : 1;
  if (shrink > 1) {
    image.reset(vips_image_new_from_file(path.c_str(), "shrink", shrink, "access", VIPS_ACCESS_SEQUENTIAL,
                                         "fail_on", VIPS_FAIL_ON_TRUNCATED, nullptr));
    if (!image) throwVipsError("cannot decode " + path.string());
  }
  VipsImage* out = nullptr;
  if (vips_image_hasalpha(image.get())) {
    if (vips_flatten(image.get(), &out, nullptr) != 0) throwVipsError("cannot flatten " + path.string());
    image.reset(out);
  }
  if (image->Xsize == width && image->Ysize == height) return image;
  const double horizontal = double(width) / double(image->Xsize), vertical = double(height) / double(image->Ysize);
  if (vips_resize(image.get(), &out, horizontal, "vscale", vertical, nullptr) != 0) {
    throwVipsError("cannot resize " + path.string());
  }
  return VipsImagePtr(out);
}

std::unique_ptr<uint8_t[], GFreeRelease> pixelsOf(VipsImage* image, size_t& size) {
  size = 0;
  void* memory = vips_image_write_to_memory(image, &size);
  if (memory == nullptr) throwVipsError("cannot decode the image");
  return std::unique_ptr<uint8_t[], GFreeRelease>(static_cast<uint8_t*>(memory));
}

}  // namespace rezoro::cutout
