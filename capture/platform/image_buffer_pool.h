#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "capture/platform/capture_stream.h"

namespace rezoro::capture {

// Image buffers of one size and pixel format (BGRA or I420), of which at most `capacity` are out at once. A buffer goes back to
// the pool when its last reference is dropped; one that outlives the pool is simply freed. Thread-safe.
class ImageBufferPool {
 public:
  ImageBufferPool(int width, int height, int capacity, uint32_t pixelFormat = kPixelFormatBGRA);

  // A buffer of the pool's size, or null when `capacity` buffers are out. Its contents are whatever
  // it held before.
  std::shared_ptr<ImageBuffer> acquire();

  int outstanding() const;
  int capacity() const { return capacity_; }

 private:
  struct Shared {
    std::mutex mutex;
    std::vector<std::unique_ptr<ImageBuffer>> idle;
    int outstanding = 0;
  };
  struct Return {
    std::weak_ptr<Shared> pool;
    void operator()(ImageBuffer* buffer) const;
  };

  int width_, height_, capacity_;
  uint32_t pixelFormat_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace rezoro::capture
