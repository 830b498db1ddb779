#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rezoro::cutout {

// Pixel formats by their four-character codes.
enum class PixelFormat : uint32_t {
  oneComponent32Float = 0x4C303066,  // "L00f": coverage 0..1
  oneComponent8 = 0x4C303038,        // "L008": 0..255
  bgra32 = 0x42475241,               // "BGRA"
};

// An image plane in memory: `height` rows of `bytesPerRow` bytes each, of which the first
// width × bytes-per-pixel hold samples and the rest is padding. Reading goes through a lock,
// as with the platform's buffers; a buffer may refuse to lock.
class PixelBuffer {
 public:
  // Allocates zeroed rows. A bytesPerRow of 0 means rows without padding.
  PixelBuffer(int64_t width, int64_t height, PixelFormat format, size_t bytesPerRow = 0);
  virtual ~PixelBuffer() = default;
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

  int64_t width() const { return width_; }
  int64_t height() const { return height_; }
  PixelFormat format() const { return format_; }
  size_t bytesPerRow() const { return bytesPerRow_; }

  // Locks the buffer for reading. Returns false, with nothing locked, when it cannot be locked.
  virtual bool lockReadOnly() { return true; }
  virtual void unlockReadOnly() {}
  // The first byte of row 0, or null when the buffer has no storage. Valid while locked.
  virtual const uint8_t* baseAddress() const { return storage_.empty() ? nullptr : storage_.data(); }

  // Writable rows for whoever fills the buffer.
  uint8_t* row(int64_t y) { return storage_.data() + static_cast<size_t>(y) * bytesPerRow_; }
  float* floatRow(int64_t y) { return reinterpret_cast<float*>(row(y)); }

  static size_t bytesPerPixel(PixelFormat format);

 protected:
  // A buffer that reports the given geometry without allocating its samples (for tests of limits).
  struct Unallocated {};
  PixelBuffer(Unallocated, int64_t width, int64_t height, PixelFormat format, size_t bytesPerRow)
      : width_(width), height_(height), format_(format), bytesPerRow_(bytesPerRow) {}

 private:
  int64_t width_;
  int64_t height_;
  PixelFormat format_;
  size_t bytesPerRow_;
  std::vector<uint8_t> storage_;
};

}  // namespace rezoro::cutout
