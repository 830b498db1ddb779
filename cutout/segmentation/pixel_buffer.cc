#include "cutout/segmentation/pixel_buffer.h"

namespace rezoro::cutout {

size_t PixelBuffer::bytesPerPixel(PixelFormat format) {
  switch (format) {
    case PixelFormat::oneComponent32Float: return 4;
    case PixelFormat::oneComponent8: return 1;
    case PixelFormat::bgra32: return 4;
  }
  return 4;
}

PixelBuffer::PixelBuffer(int64_t width, int64_t height, PixelFormat format, size_t bytesPerRow)
    : width_(width),
      height_(height),
      format_(format),
      bytesPerRow_(bytesPerRow != 0 ? bytesPerRow
                                    : static_cast<size_t>(width > 0 ? width : 0) * bytesPerPixel(format)) {
  if (width > 0 && height > 0) storage_.assign(bytesPerRow_ * static_cast<size_t>(height), 0);
}

}  // namespace rezoro::cutout
