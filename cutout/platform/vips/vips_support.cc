#include "cutout/platform/vips/vips_support.h"

namespace rezoro::cutout {
namespace {

void discardMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

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
    return true;
  }();
  if (!started) throwVipsError("libvips did not start");
}

void throwVipsError(const std::string& what) {
  std::string message = what;
  const char* detail = vips_error_buffer();
  if (detail != nullptr && *detail != '\0') message += ": " + std::string(detail);
  vips_error_clear();
  throw VipsError(message);
}

std::unique_ptr<uint8_t[], GFreeRelease> pixelsOf(VipsImage* image, size_t& size) {
  size = 0;
  void* memory = vips_image_write_to_memory(image, &size);
  if (memory == nullptr) throwVipsError("cannot decode the image");
  return std::unique_ptr<uint8_t[], GFreeRelease>(static_cast<uint8_t*>(memory));
}

}  // namespace rezoro::cutout
