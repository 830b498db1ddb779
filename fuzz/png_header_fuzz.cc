// The PNG header reader on any bytes: a size only for a PNG signature and IHDR chunk, never a
// read beyond what it is given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cutout/platform/vips/png_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so that AddressSanitizer sees any read past the end.
  const std::vector<unsigned char> bytes(data, data + size);
  const auto header = rezoro::cutout::pngHeaderSize(bytes);
  if (header && (size < rezoro::cutout::pngHeaderBytes || std::memcmp(data + 1, "PNG", 3) != 0)) std::abort();
  return 0;
}
