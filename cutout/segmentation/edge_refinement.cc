#include "cutout/segmentation/edge_refinement.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <vector>

namespace rezoro::cutout {
namespace {

constexpr float foreground = 0.5f;
// Colour distances (0..255 per channel) between the two sides of an edge: below the first the
// sides look alike and the map's value stays; from the second on the colours decide alone.
constexpr double alikeColours = 16;
constexpr double distinctColours = 48;
// How far off the line between the two sides' colours, as a share of their distance, a pixel may
// lie before its colour says nothing about the edge.
constexpr double offLine = 0.5;
// A clean edge leaves each side this share of the window of sure pixels; where the map's edge winds
// through most of the window (a region the network was unsure of), its value stays.
constexpr double minimumSureShare = 0.1;

// A rectangle of the picture: columns [x0, x1), rows [y0, y1).
struct Span {
  int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
  // Extended over columns [from, to) of row y, a row at or below every row it holds (an empty span
  // starts as {width, height, 0, 0}).
  void add(int64_t from, int64_t to, int64_t y) {
    *this = {std::min(x0, from), std::min(y0, y), std::max(x1, to), y + 1};
  }
  // Grown by `by` on every side, within a width × height picture.
  Span grown(int64_t by, int64_t width, int64_t height) const {
    return {std::max<int64_t>(0, x0 - by), std::max<int64_t>(0, y0 - by), std::min(width, x1 + by),
            std::min(height, y1 + by)};
  }
};

// Sums of `Channels` values per pixel over square windows of radius `radius`, clipped to `area`,
// row by row: `values(y, row)` writes row y's values over the area's columns, channel-major
// (row[k * columns + x - area.x0]); for every row for which `wanted(y)` holds, `visit(y, sum)` is
// called, where sum(k, x0, x1) is the window sum of channel k over columns [x0, x1) and the window's
// rows. A running sum down the columns and a prefix sum along the row keep each row's cost linear in
// the area's width. Callers choose an area that holds every window they ask about whole (or clipped
// where the picture's border clips it), so clipping to the area clips nothing else.
template <size_t Channels, typename Values, typename Wanted, typename Visit>
void windowSums(const Span& area, int64_t radius, Values&& values, Wanted&& wanted, Visit&& visit) {
  const auto w = size_t(area.x1 - area.x0);
  std::vector<int32_t> columns(Channels * w, 0), row(Channels * w), prefix(Channels * (w + 1), 0);
  const auto move = [&](int64_t y, int32_t sign) {
    values(y, row.data());
    for (size_t i = 0; i < columns.size(); ++i) columns[i] += sign * row[i];
  };
  int64_t added = area.y0, removed = area.y0;  // rows [removed, added) are in the running sums
  for (int64_t y = area.y0; y < area.y1; ++y) {
    while (added < std::min(area.y1, y + radius + 1)) move(added++, 1);
    while (removed < y - radius) move(removed++, -1);
    if (!wanted(y)) continue;
    for (size_t k = 0; k < Channels; ++k) {
      int32_t* sums = prefix.data() + k * (w + 1);
      const int32_t* column = columns.data() + k * w;
      for (size_t x = 0; x < w; ++x) sums[x + 1] = sums[x] + column[x];
    }
    visit(y, [&](size_t k, int64_t x0, int64_t x1) {
      const int32_t* sums = prefix.data() + k * (w + 1);
      return sums[x1 - area.x0] - sums[x0 - area.x0];
    });
  }
}

}  // namespace

void refineEdges(ProbabilityMap& map, const UprightImage& picture, int64_t reach) {
  const int64_t width = map.width, height = map.height;
  if (width < 1 || height < 1 || reach < 1 || picture.width != width || picture.height != height ||
      map.values.size() != size_t(width * height) || picture.rgb.size() != size_t(width * height) * 3) {
    return;
  }
  const auto at = [width](int64_t x, int64_t y) { return size_t(y * width + x); };

  // The band: pixels whose window of radius `reach` holds pixels of both sides. Only windows
  // around the subject's bounding box can hold subject pixels, and every window of a pixel inside
  // the box lies within the box grown by `reach`, so the search looks there alone.
  const auto isSubject = [](float value) { return value >= foreground; };
  Span subject{width, height, 0, 0};
  for (int64_t y = 0; y < height; ++y) {
    const float* row = map.values.data() + at(0, y);
    const float* first = std::find_if(row, row + width, isSubject);
    if (first == row + width) continue;
    const auto end = std::make_reverse_iterator(first);
    const float* last = std::find_if(std::make_reverse_iterator(row + width), end, isSubject).base();
    subject.add(first - row, last - row, y);
  }
  if (subject.empty()) return;
  std::vector<uint8_t> band(map.values.size(), 0);
  std::vector<uint8_t> rowHasBand(size_t(height), 0);
  Span banded{width, height, 0, 0};
  const Span searched = subject.grown(reach, width, height);
  windowSums<1>(
      searched, reach,
      [&](int64_t y, int32_t* row) {
        for (int64_t x = searched.x0; x < searched.x1; ++x) row[x - searched.x0] = map.values[at(x, y)] >= foreground;
      },
      [](int64_t) { return true; },
      [&](int64_t y, const auto& sum) {
        const int64_t rows = std::min(height, y + reach + 1) - std::max<int64_t>(0, y - reach);
        for (int64_t x = searched.x0; x < searched.x1; ++x) {
          const int64_t x0 = std::max<int64_t>(0, x - reach), x1 = std::min(width, x + reach + 1);
          const int32_t inside = sum(0, std::max(x0, searched.x0), std::min(x1, searched.x1));
          if (inside > 0 && inside < (x1 - x0) * rows) {
            band[at(x, y)] = rowHasBand[size_t(y)] = 1;
            banded.add(x, x + 1, y);
          }
        }
      });
  if (banded.empty()) return;

  // The sure pixels of each side near every band pixel: their count and colour sums.
  const int64_t radius = 2 * reach + 2;
  const Span near = banded.grown(radius, width, height);
  const auto columns = size_t(near.x1 - near.x0);
  // Band pixels are refined in place: the sums count sure pixels alone, which keep their values, so
  // no later window sees a refined one.
  windowSums<8>(
      near, radius,
      [&](int64_t y, int32_t* row) {
        for (int64_t x = near.x0; x < near.x1; ++x) {
          const size_t i = at(x, y), column = size_t(x - near.x0);
          const bool sure = !band[i], subject = map.values[i] >= foreground;
          const int32_t isSubject = sure && subject, isBackground = sure && !subject;
          const uint8_t* rgb = picture.rgb.data() + i * 3;
          row[column] = isSubject;
          row[column + 4 * columns] = isBackground;
          for (size_t c = 0; c < 3; ++c) {
            row[column + (1 + c) * columns] = isSubject * rgb[c];
            row[column + (5 + c) * columns] = isBackground * rgb[c];
          }
        }
      },
      [&](int64_t y) { return rowHasBand[size_t(y)] != 0; },
      [&](int64_t y, const auto& sum) {
        for (int64_t x = banded.x0; x < banded.x1; ++x) {
          const size_t i = at(x, y);
          if (!band[i]) continue;
          const int64_t x0 = std::max<int64_t>(0, x - radius), x1 = std::min(width, x + radius + 1);
          const int32_t subjects = sum(0, x0, x1), backgrounds = sum(4, x0, x1);
          const double window = double((x1 - x0) * (std::min(height, y + radius + 1) - std::max<int64_t>(0, y - radius)));
          if (subjects == 0 || backgrounds == 0 || double(std::min(subjects, backgrounds)) < minimumSureShare * window) {
            continue;
          }
          std::array<double, 3> toPixel{}, across{};
          double length2 = 0, along = 0;
          const uint8_t* rgb = picture.rgb.data() + i * 3;
          for (size_t c = 0; c < 3; ++c) {
            const double subject = double(sum(1 + c, x0, x1)) / subjects;
            const double background = double(sum(5 + c, x0, x1)) / backgrounds;
            across[c] = subject - background;
            toPixel[c] = double(rgb[c]) - background;
            length2 += across[c] * across[c];
            along += toPixel[c] * across[c];
          }
          const double distance = std::sqrt(length2);
          if (distance <= alikeColours) continue;
          const double coverage = std::clamp(along / length2, 0.0, 1.0);
          double miss2 = 0;
          for (size_t c = 0; c < 3; ++c) {
            const double off = toPixel[c] - coverage * across[c];
            miss2 += off * off;
          }
          const double distinct = std::min(1.0, (distance - alikeColours) / (distinctColours - alikeColours));
          const double onLine = std::clamp(1.0 - std::sqrt(miss2) / (offLine * distance), 0.0, 1.0);
          const double trust = distinct * onLine;
          map.values[i] = float(double(map.values[i]) + trust * (coverage - double(map.values[i])));
        }
      });
}

void clearDetachedTails(ProbabilityMap& map) {
  const int64_t width = map.width, height = map.height;
  if (width < 1 || height < 1 || map.values.size() != size_t(width * height)) return;
  // Per row, whether each pixel or a horizontal neighbour is on the subject's side; a pixel keeps its
  // value when that holds in its own row or the rows above and below.
  const auto nearSubject = [&](int64_t y, std::vector<uint8_t>& near) {
    const float* row = map.values.data() + size_t(y * width);
    for (int64_t x = 0; x < width; ++x) {
      near[size_t(x)] = row[x] >= foreground || (x > 0 && row[x - 1] >= foreground) ||
                        (x + 1 < width && row[x + 1] >= foreground);
    }
  };
  const auto columns = size_t(width);
  std::vector<uint8_t> above(columns, 0), current(columns, 0), below(columns, 0);
  nearSubject(0, current);
  for (int64_t y = 0; y < height; ++y) {
    if (y + 1 < height) {
      nearSubject(y + 1, below);
    } else {
      std::fill(below.begin(), below.end(), 0);
    }
    float* row = map.values.data() + size_t(y * width);
    for (int64_t x = 0; x < width; ++x) {
      if (row[x] < foreground && !above[size_t(x)] && !current[size_t(x)] && !below[size_t(x)]) row[x] = 0;
    }
    // The flags come from values at 0.5 or more, which clearing never touches, so flags taken before
    // a neighbouring row is cleared are the same as after.
    std::swap(above, current);
    std::swap(current, below);
  }
}

}  // namespace rezoro::cutout
