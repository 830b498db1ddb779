#pragma once

#include <vips/vips.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace rezoro::cutout {

// Thrown when libvips cannot start or refuses an image; the message is vips' own error text.
class VipsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Starts libvips once per process. Its GLib messages are discarded (the parent reads only our
// JSON) and its operation cache is off, so that no decoded image outlives the job that made it.
// Operations libvips marks untrusted are blocked, and every loader but those of the photo formats
// (JPEG, PNG, WebP, TIFF, HEIF/AVIF, GIF). Throws VipsError when the library cannot start.
void startVips();

// Whether the file's content (not its name) is one of the photo formats that startVips leaves
// loadable. Reads only the first bytes; starts libvips (throws VipsError when it cannot).
bool isPhotoFile(const std::filesystem::path& path);

// Throws VipsError with vips' accumulated error text, and clears that text for the next call.
[[noreturn]] void throwVipsError(const std::string& what);

struct VipsObjectRelease {
  void operator()(void* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
using VipsImagePtr = std::unique_ptr<VipsImage, VipsObjectRelease>;

struct GFreeRelease {
  void operator()(void* memory) const { g_free(memory); }
};

// The stored picture of an image file (its orientation not applied) resized to exactly width × height,
// for a pipeline to finish and read. A JPEG is decoded at the smallest DCT scale that still has the
// size each way, which skips most of a large photo's decoding, and the Lanczos resize after it
// averages away what that scaling leaves. (A thumbnail keeps a factor of two for its own resize
// and so decodes a 12 MP photo at full size for a 1024-pixel result.) Alpha is flattened onto black
// before the resize, as a premultiplied resize would; a truncated file fails rather than decoding
// with grey filler. Throws VipsError.
VipsImagePtr resizedFile(const std::filesystem::path& path, int width, int height);

// The largest JPEG shrink-on-load factor (8, 4, 2 or 1) that leaves at least width × height of a
// stored storedWidth × storedHeight picture.
int jpegShrink(int storedWidth, int storedHeight, int width, int height);

// The image's pixels as one packed buffer, band-interleaved, top row first. Throws VipsError.
std::unique_ptr<uint8_t[], GFreeRelease> pixelsOf(VipsImage* image, size_t& size);

}  // namespace rezoro::cutout
