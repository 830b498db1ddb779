#include "cutout/segmentation/mask_export.h"

#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <cerrno>

#include "common/atomic_file.h"
#include "common/unique_fd.h"
#include "common/uuid.h"
#include "cutout/contract/cutout_failure.h"

namespace rezoro::cutout {
namespace {

// libpng reports errors by calling these; the default ones print to stderr, which we must not.
[[noreturn]] void pngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void pngWarning(png_structp, png_const_charp) {}

void pngWrite(png_structp png, png_bytep data, size_t length) {
  const int fd = *static_cast<int*>(png_get_io_ptr(png));
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) png_error(png, "write failed");
    data += written;
    length -= static_cast<size_t>(written);
  }
}

void pngFlush(png_structp) {}

}  // namespace

bool writeGrayPng(int fd, const GrayMask& mask, int compressionLevel, PngRowFilter filter) {
  // Only plain values live across setjmp; the structures are destroyed on both paths.
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  int target = fd;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &target, pngWrite, pngFlush);
  // libpng's default limit of a million pixels per side is below what a valid mask may have.
  png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
  png_set_IHDR(png, info, static_cast<png_uint_32>(mask.width), static_cast<png_uint_32>(mask.height), 8,
               PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, compressionLevel);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, filter == PngRowFilter::up ? PNG_FILTER_UP : PNG_ALL_FILTERS);
  png_write_info(png, info);
  for (int64_t row = 0; row < mask.height; ++row) {
    png_write_row(png, mask.bytes.data() + row * mask.width);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

std::array<int64_t, 2> exportGrayscaleMask(const GrayMask& mask, const std::filesystem::path& destination) {
  if (mask.width < 1 || mask.height < 1) throw CutoutFailure::invalidInput;
  int64_t pixels = 0;
  if (__builtin_mul_overflow(mask.width, mask.height, &pixels) || pixels > maximumImagePixels) {
    throw CutoutFailure::imageTooLarge;
  }
  if (mask.bytes.size() != static_cast<size_t>(pixels)) throw CutoutFailure::exportFailed;

  const std::filesystem::path temporary =
      destination.parent_path() / (".rezoro-cutout-" + newUuidString() + ".png");
  ScopedFileRemoval removal(temporary);
  {
    const UniqueFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!file) throw CutoutFailure::exportFailed;
    if (!writeGrayPng(file.get(), mask, maskPngCompressionLevel, maskPngRowFilter)) throw CutoutFailure::exportFailed;
    // On disk before the rename, so that a crash cannot leave a short file under the destination's name.
    if (::fdatasync(file.get()) != 0) throw CutoutFailure::exportFailed;
  }
  if (::rename(temporary.c_str(), destination.c_str()) != 0) throw CutoutFailure::exportFailed;
  removal.dismiss();
  return {mask.width, mask.height};
}

}  // namespace rezoro::cutout
