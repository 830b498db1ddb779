#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace rezoro::cutout {

// A rectangle in pixels, origin at the top-left corner, y growing downwards. Follows the usual
// geometry rules of the platform's rectangles: a negative size is normalised, intersecting two
// rectangles that do not overlap (touching edges included) gives the null rectangle, and
// the null rectangle intersects nothing.
struct Rect {
  double x = 0, y = 0, width = 0, height = 0;

  static Rect null() {
    const double inf = std::numeric_limits<double>::infinity();
    return {inf, inf, 0, 0};
  }
  bool isNull() const { return std::isinf(x) || std::isinf(y); }
  bool isEmpty() const { return isNull() || width == 0 || height == 0; }

  Rect standardized() const {
    Rect r = *this;
    if (r.width < 0) r = {r.x + r.width, r.y, -r.width, r.height};
    if (r.height < 0) r = {r.x, r.y + r.height, r.width, -r.height};
    return r;
  }
  double minX() const { return standardized().x; }
  double minY() const { return standardized().y; }
  double maxX() const { const Rect r = standardized(); return r.x + r.width; }
  double maxY() const { const Rect r = standardized(); return r.y + r.height; }
  double area() const { return isNull() ? 0 : std::abs(width * height); }

  // The overlap of the two rectangles, or the null rectangle when they do not overlap.
  Rect intersection(const Rect& other) const {
    if (isNull() || other.isNull()) return null();
    const double x0 = std::max(minX(), other.minX()), y0 = std::max(minY(), other.minY());
    const double x1 = std::min(maxX(), other.maxX()), y1 = std::min(maxY(), other.maxY());
    if (x1 <= x0 && !(x1 == x0 && (width == 0 || other.width == 0))) return null();
    if (y1 <= y0 && !(y1 == y0 && (height == 0 || other.height == 0))) return null();
    return {x0, y0, x1 - x0, y1 - y0};
  }
  bool intersects(const Rect& other) const { return !intersection(other).isNull(); }

  // The smallest rectangle holding both; a null operand is ignored.
  Rect unionWith(const Rect& other) const {
    if (isNull()) return other;
    if (other.isNull()) return *this;
    const double x0 = std::min(minX(), other.minX()), y0 = std::min(minY(), other.minY());
    const double x1 = std::max(maxX(), other.maxX()), y1 = std::max(maxY(), other.maxY());
    return {x0, y0, x1 - x0, y1 - y0};
  }

  // Moves every side inwards by dx and dy (outwards for negative values).
  Rect insetBy(double dx, double dy) const {
    if (isNull()) return null();
    const Rect r = standardized();
    const Rect inset{r.x + dx, r.y + dy, r.width - 2 * dx, r.height - 2 * dy};
    if (inset.width < 0 || inset.height < 0) return null();
    return inset;
  }

  Rect offsetBy(double dx, double dy) const { return isNull() ? null() : Rect{x + dx, y + dy, width, height}; }

  friend bool operator==(const Rect& a, const Rect& b) {
    if (a.isNull() || b.isNull()) return a.isNull() && b.isNull();
    const Rect sa = a.standardized(), sb = b.standardized();
    return sa.x == sb.x && sa.y == sb.y && sa.width == sb.width && sa.height == sb.height;
  }
};

// The whole pixels of a rectangle inside a width × height grid: columns [x0, x1), rows [y0, y1).
struct PixelSpan {
  int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool isEmpty() const { return x0 >= x1 || y0 >= y1; }
  int64_t area() const { return isEmpty() ? 0 : (x1 - x0) * (y1 - y0); }
};

// `rect` snapped outwards to whole pixels and clipped to the grid; empty for the null rectangle and
// for one outside the grid.
inline PixelSpan pixelSpan(const Rect& rect, int64_t width, int64_t height) {
  if (rect.isNull()) return {};
  return {std::clamp<int64_t>(int64_t(std::floor(rect.minX())), 0, width),
          std::clamp<int64_t>(int64_t(std::floor(rect.minY())), 0, height),
          std::clamp<int64_t>(int64_t(std::ceil(rect.maxX())), 0, width),
          std::clamp<int64_t>(int64_t(std::ceil(rect.maxY())), 0, height)};
}

// The share of the pixels of `rect` (its pixel span in the row-major width × height grid `values`)
// for which `isForeground` holds; 0 when the span is empty. The divisor is the clipped span, not
// the rectangle's own area.
template <typename Value, typename Predicate>
double foregroundShareOf(const std::vector<Value>& values, int64_t width, int64_t height, const Rect& rect,
                         Predicate isForeground) {
  const PixelSpan span = pixelSpan(rect, width, height);
  if (span.isEmpty()) return 0;
  int64_t count = 0;
  for (int64_t y = span.y0; y < span.y1; ++y) {
    const Value* row = values.data() + y * width;
    count += std::count_if(row + span.x0, row + span.x1, isForeground);
  }
  return double(count) / double(span.area());
}

// `rect` grown on each side by shareX of its width and shareY of its height (each at least `minimum`
// pixels), clipped to width × height and snapped outwards to whole pixels; null when nothing is left.
inline Rect paddedCrop(const Rect& rect, double shareX, double shareY, double minimum, int64_t width,
                       int64_t height) {
  if (rect.isNull()) return Rect::null();
  const Rect r = rect.standardized();
  const Rect padded = r.insetBy(-std::max(shareX * r.width, minimum), -std::max(shareY * r.height, minimum))
                          .intersection({0, 0, double(width), double(height)});
  if (padded.isNull()) return padded;
  const double x0 = std::floor(padded.minX()), y0 = std::floor(padded.minY());
  return {x0, y0, std::ceil(padded.maxX()) - x0, std::ceil(padded.maxY()) - y0};
}

}  // namespace rezoro::cutout
