// The cut-out program's image source on small files of any content: the photo-format check, the
// header and an upright decode at a small size. Refusing is fine; crashing, hanging or writing to
// standard error is not.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/unique_fd.h"
#include "cutout/contract/cutout_failure.h"
#include "cutout/platform/vips/vips_image_source.h"
#include "cutout/platform/vips/vips_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // One worker thread: the pictures are tiny, and a pool per decode would dominate each run.
  rezoro::cutout::startVips();
  vips_concurrency_set(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The program decodes a private in-memory copy of each input through its /proc path; so does this.
  const rezoro::UniqueFd memory(::memfd_create("fuzz-input", MFD_CLOEXEC));
  if (!memory) abort();
  for (size_t offset = 0; offset < size;) {
    const ssize_t n = ::write(memory.get(), data + offset, size - offset);
    if (n <= 0) abort();
    offset += static_cast<size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(memory.get());
  const auto source = rezoro::cutout::VipsImageSource::open(path);
  if (!source) return 0;
  const auto properties = source->properties();
  if (!properties || !properties->pixelWidth || !properties->pixelHeight) return 0;
  // The program refuses more than maximumImagePixels from the header before decoding; the fuzz run
  // keeps to small pictures, so that every run is quick.
  const double width = *properties->pixelWidth, height = *properties->pixelHeight;
  if (!(width >= 1 && height >= 1 && width * height <= double(1 << 20))) return 0;
  try {
    const auto image = rezoro::cutout::uprightImage(*source, std::min<int64_t>(int64_t(width), 32),
                                                    std::min<int64_t>(int64_t(height), 32));
    if (image.rgb.size() != size_t(image.width * image.height * 3)) abort();
  } catch (const rezoro::cutout::CutoutFailure&) {
  }
  return 0;
}
