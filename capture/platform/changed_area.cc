#include "capture/platform/changed_area.h"

#include <algorithm>

namespace rezoro::capture {

PixelRect PixelRect::intersection(const PixelRect& other) const {
  const int left = std::max(x, other.x), top = std::max(y, other.y);
  const int right = std::min(this->right(), other.right()), bottom = std::min(this->bottom(), other.bottom());
  if (right <= left || bottom <= top) return {};
  return {left, top, right - left, bottom - top};
}

PixelRect PixelRect::united(const PixelRect& other) const {
  if (other.empty()) return *this;
  if (empty()) return other;
  const int left = std::min(x, other.x), top = std::min(y, other.y);
  return {left, top, std::max(right(), other.right()) - left, std::max(bottom(), other.bottom()) - top};
}

void ChangedArea::add(const PixelRect& rect) {
  const PixelRect clipped = rect.intersection(bounds_);
  if (clipped.empty()) return;
  for (const PixelRect& held : rects_) {
    if (held.intersection(clipped) == clipped) return;
  }
  rects_.push_back(clipped);
  PixelRect box;
  long long covered = 0;
  for (const PixelRect& held : rects_) {
    box = box.united(held);
    covered += held.area();
  }
  // Overlaps count twice in `covered`, which only makes the merge come sooner.
  if (rects_.size() > kMostRectangles || 4 * covered >= 3 * box.area()) rects_.assign(1, box);
}

namespace {

// [begin, end) of `from` pixels → the `to` pixels they reach, on even edges.
std::pair<int, int> scaledSpan(int begin, int end, int from, int to) {
  long long first = begin, last = end;
  if (from != to) {
    first = static_cast<long long>(begin) * to / from - 1;
    last = (static_cast<long long>(end) * to + from - 1) / from + 1;
  }
  first = std::max(0LL, first - (first & 1));
  last = std::min(static_cast<long long>(to), last + (last & 1));
  return {static_cast<int>(first), static_cast<int>(last)};
}

}  // namespace

PixelRect scaledForChroma(const PixelRect& rect, int fromWidth, int fromHeight, int toWidth, int toHeight) {
  if (rect.empty() || fromWidth < 1 || fromHeight < 1) return {};
  const auto [left, right] = scaledSpan(rect.x, rect.right(), fromWidth, toWidth);
  const auto [top, bottom] = scaledSpan(rect.y, rect.bottom(), fromHeight, toHeight);
  if (right <= left || bottom <= top) return {};
  return {left, top, right - left, bottom - top};
}

}  // namespace rezoro::capture
