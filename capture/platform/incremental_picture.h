#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "capture/platform/capture_stream.h"
#include "capture/platform/changed_area.h"
#include "capture/platform/image_buffer_pool.h"

namespace rezoro::capture {

// A small picture drawn over the source, such as the cursor: premultiplied 8-bit A, R, G, B in one
// 32-bit word per pixel, rows packed, placed at `frame` in source pixels.
struct Overlay {
  PixelRect frame;
  const uint32_t* pixels = nullptr;
};

// Turns a BGRA source picture that the caller keeps up to date into output pictures of another size
// and format (BGRA, or I420 for the encoder), redoing only what changed. The output pictures come
// from a pool of `capacity`; each remembers which source revision it shows, so a picture lent out
// for a few frames is brought up to date with the changes it missed and nothing else. A scaled
// output keeps a scaled BGRA copy of the source for the same purpose.
class IncrementalPicture {
 public:
  IncrementalPicture(int sourceWidth, int sourceHeight, int width, int height, uint32_t pixelFormat,
                     int capacity);

  // The output for the source as it is now. `source` has sourceWidth × sourceHeight BGRA pixels,
  // `stride` bytes apart, and differs from the previous call's only within `changed` (source
  // pixels); the first call converts everything. `overlay`, when given, is drawn over the source
  // for this picture only: the caller names its old and new place among the changes when it moves.
  // Returns null when all pictures are lent out; the changes are kept for the next call.
  std::shared_ptr<ImageBuffer> picture(uint8_t* source, int stride, const std::vector<PixelRect>& changed,
                                       const Overlay* overlay);

  // Source revisions remembered; a picture older than that is redone whole.
  static constexpr size_t kKeptRevisions = 8;

 private:
  struct Revision {
    uint64_t number = 0;
    std::vector<PixelRect> rects;  // output pixels
  };
  bool scaled() const { return sourceWidth_ != width_ || sourceHeight_ != height_; }
  std::vector<PixelRect> staleParts(const ImageBuffer& picture) const;
  void drawOverlay(uint8_t* source, int stride, const Overlay& overlay);
  void restoreUnderOverlay(uint8_t* source, int stride);
  void convert(const uint8_t* source, int stride, const PixelRect& rect, ImageBuffer& out);

  const int sourceWidth_, sourceHeight_, width_, height_;
  const uint32_t pixelFormat_;
  uint64_t revision_ = 0;
  std::deque<Revision> history_;
  std::vector<uint8_t> scaledSource_;  // BGRA, width_ × height_, for a scaled I420 output
  PixelRect underOverlay_;             // where saved_ came from
  std::vector<uint32_t> saved_;
  ImageBufferPool pool_;
};

}  // namespace rezoro::capture
