#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

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

}  // namespace rezoro::cutout
