#include "capture/platform/image_buffer_pool.h"

namespace rezoro::capture {

ImageBufferPool::ImageBufferPool(int width, int height, int capacity, uint32_t pixelFormat)
    : width_(width),
      height_(height),
      capacity_(capacity),
      pixelFormat_(pixelFormat),
      shared_(std::make_shared<Shared>()) {}

void ImageBufferPool::Return::operator()(ImageBuffer* buffer) const {
  std::unique_ptr<ImageBuffer> owned(buffer);
  if (auto shared = pool.lock()) {
    std::lock_guard lock(shared->mutex);
    --shared->outstanding;
    shared->idle.push_back(std::move(owned));
  }
}

std::shared_ptr<ImageBuffer> ImageBufferPool::acquire() {
  std::unique_ptr<ImageBuffer> buffer;
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->outstanding >= capacity_) return nullptr;
    ++shared_->outstanding;
    if (!shared_->idle.empty()) {
      buffer = std::move(shared_->idle.back());
      shared_->idle.pop_back();
    }
  }
  if (!buffer) {
    buffer = std::make_unique<ImageBuffer>();
    buffer->width = width_;
    buffer->height = height_;
    buffer->pixelFormat = pixelFormat_;
    buffer->bytesPerRow = pixelFormat_ == kPixelFormatI420 ? width_ : width_ * 4;
    buffer->bytes.resize(buffer->planeOffset(buffer->planeCount()));
  }
  return std::shared_ptr<ImageBuffer>(buffer.release(), Return{shared_});
}

int ImageBufferPool::outstanding() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->outstanding;
}

}  // namespace rezoro::capture
