#include "capture/platform/incremental_picture.h"

#include <libyuv.h>

#include <algorithm>
#include <cstring>

namespace rezoro::capture {

IncrementalPicture::IncrementalPicture(int sourceWidth, int sourceHeight, int width, int height,
                                       uint32_t pixelFormat, int capacity)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      width_(width),
      height_(height),
      pixelFormat_(pixelFormat),
      pool_(width, height, capacity, pixelFormat) {
  if (scaled()) scaledSource_.resize(static_cast<size_t>(width) * height * 4);
}

std::shared_ptr<ImageBuffer> IncrementalPicture::picture(uint8_t* source, int stride,
                                                         const std::vector<PixelRect>& changed,
                                                         const Overlay* overlay) {
  Revision revision{++revision_, {}};
  for (const PixelRect& rect : changed) {
    const PixelRect reached = scaledForChroma(rect, sourceWidth_, sourceHeight_, width_, height_);
    if (!reached.empty()) revision.rects.push_back(reached);
  }
  history_.push_back(std::move(revision));
  if (history_.size() > kKeptRevisions) history_.pop_front();

  std::shared_ptr<ImageBuffer> out = pool_.acquire();
  if (!out) return nullptr;
  const std::vector<PixelRect> stale = staleParts(*out);
  if (!stale.empty()) {
    if (overlay) drawOverlay(source, stride, *overlay);
    for (const PixelRect& rect : stale) convert(source, stride, rect, *out);
    if (overlay) restoreUnderOverlay(source, stride);
  }
  out->revision = revision_;
  return out;
}

std::vector<PixelRect> IncrementalPicture::staleParts(const ImageBuffer& picture) const {
  ChangedArea stale(PixelRect{0, 0, width_, height_});
  // Revisions after the picture's, all of which must still be remembered.
  if (picture.revision == 0 || picture.revision + 1 < history_.front().number) {
    stale.addEverything();
  } else {
    for (const Revision& revision : history_) {
      if (revision.number <= picture.revision) continue;
      for (const PixelRect& rect : revision.rects) stale.add(rect);
    }
  }
  return stale.rects();
}

void IncrementalPicture::drawOverlay(uint8_t* source, int stride, const Overlay& overlay) {
  underOverlay_ = overlay.frame.intersection(PixelRect{0, 0, sourceWidth_, sourceHeight_});
  saved_.resize(static_cast<size_t>(std::max<long long>(underOverlay_.area(), 0)));
  for (int y = underOverlay_.y; y < underOverlay_.bottom(); ++y) {
    uint8_t* row = source + static_cast<size_t>(y) * stride;
    std::memcpy(saved_.data() + static_cast<size_t>(y - underOverlay_.y) * underOverlay_.width,
                row + static_cast<size_t>(underOverlay_.x) * 4, static_cast<size_t>(underOverlay_.width) * 4);
    const uint32_t* overlayRow = overlay.pixels + static_cast<size_t>(y - overlay.frame.y) * overlay.frame.width;
    for (int x = underOverlay_.x; x < underOverlay_.right(); ++x) {
      // Premultiplied: out = overlay + screen × (1 − alpha).
      const uint32_t argb = overlayRow[x - overlay.frame.x];
      const uint32_t alpha = argb >> 24;
      if (alpha == 0) continue;
      uint8_t* pixel = row + static_cast<size_t>(x) * 4;
      const uint32_t keep = 255 - alpha;
      for (int channel = 0; channel < 3; ++channel) {
        const uint32_t value = ((argb >> (8 * channel)) & 0xff) + (pixel[channel] * keep + 127) / 255;
        pixel[channel] = static_cast<uint8_t>(std::min<uint32_t>(255, value));
      }
    }
  }
}

void IncrementalPicture::restoreUnderOverlay(uint8_t* source, int stride) {
  for (int y = underOverlay_.y; y < underOverlay_.bottom(); ++y) {
    std::memcpy(source + static_cast<size_t>(y) * stride + static_cast<size_t>(underOverlay_.x) * 4,
                saved_.data() + static_cast<size_t>(y - underOverlay_.y) * underOverlay_.width,
                static_cast<size_t>(underOverlay_.width) * 4);
  }
  underOverlay_ = {};
}

void IncrementalPicture::convert(const uint8_t* source, int stride, const PixelRect& rect, ImageBuffer& out) {
  const uint8_t* from = source;
  int fromStride = stride;
  if (scaled()) {
    // Only `rect` of the scaled picture is computed, with the same sampling as the whole would be.
    libyuv::ARGBScaleClip(source, stride, sourceWidth_, sourceHeight_, scaledSource_.data(), width_ * 4, width_,
                          height_, rect.x, rect.y, rect.width, rect.height, libyuv::kFilterBox);
    from = scaledSource_.data();
    fromStride = width_ * 4;
  }
  from += static_cast<size_t>(rect.y) * fromStride + static_cast<size_t>(rect.x) * 4;
  if (out.pixelFormat == kPixelFormatI420) {
    const int chromaStride = out.bytesPerRowOfPlane(1);
    const size_t chromaAt = static_cast<size_t>(rect.y / 2) * chromaStride + rect.x / 2;
    libyuv::ARGBToI420(from, fromStride, out.plane(0) + static_cast<size_t>(rect.y) * out.bytesPerRow + rect.x,
                       out.bytesPerRow, out.plane(1) + chromaAt, chromaStride, out.plane(2) + chromaAt,
                       chromaStride, rect.width, rect.height);
    return;
  }
  uint8_t* to = out.baseAddress() + static_cast<size_t>(rect.y) * out.bytesPerRow + static_cast<size_t>(rect.x) * 4;
  libyuv::ARGBCopy(from, fromStride, to, out.bytesPerRow, rect.width, rect.height);
  // The padding byte of a 24-bit screen is undefined; BGRA wants it opaque.
  for (int y = 0; y < rect.height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(to + static_cast<size_t>(y) * out.bytesPerRow);
    for (int x = 0; x < rect.width; ++x) row[x] |= 0xff000000u;
  }
}

}  // namespace rezoro::capture
