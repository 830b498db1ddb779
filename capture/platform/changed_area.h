#pragma once

#include <cstddef>
#include <vector>

namespace rezoro::capture {

// A rectangle of pixels: origin top-left, y growing downwards, half-open on the right and bottom.
struct PixelRect {
  int x = 0, y = 0, width = 0, height = 0;

  bool empty() const { return width <= 0 || height <= 0; }
  int right() const { return x + width; }
  int bottom() const { return y + height; }
  long long area() const { return empty() ? 0 : static_cast<long long>(width) * height; }
  bool intersects(const PixelRect& other) const { return !intersection(other).empty(); }
  PixelRect intersection(const PixelRect& other) const;
  // The smallest rectangle holding both; an empty one adds nothing.
  PixelRect united(const PixelRect& other) const;
  bool operator==(const PixelRect&) const = default;
};

// The parts of a picture that changed, gathered over one frame interval. Rectangles are clipped to
// the picture; when they become many, or cover most of their bounding box, they are replaced by
// that box: one larger read or conversion costs less than many small ones.
class ChangedArea {
 public:
  explicit ChangedArea(PixelRect bounds) : bounds_(bounds) {}

  void add(const PixelRect& rect);
  void addEverything() { add(bounds_); }
  void clear() { rects_.clear(); }
  bool empty() const { return rects_.empty(); }
  const std::vector<PixelRect>& rects() const { return rects_; }
  const PixelRect& bounds() const { return bounds_; }

  static constexpr size_t kMostRectangles = 16;

 private:
  PixelRect bounds_;
  std::vector<PixelRect> rects_;
};

// The rectangle of a `to` picture whose pixels depend on `rect` of a `from` picture that is scaled
// to it, widened to even edges so that it covers whole 2×2 blocks of 4:2:0 chroma. Scaled pictures
// get one more pixel on each side for the filter's reach.
PixelRect scaledForChroma(const PixelRect& rect, int fromWidth, int fromHeight, int toWidth, int toHeight);

}  // namespace rezoro::capture
