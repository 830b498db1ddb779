#include "cutout/segmentation/probability_map.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace rezoro::cutout {

InstanceLabels keepInstances(ProbabilityMap& map, int64_t minimumArea) {
  const int64_t width = map.width, height = map.height;
  InstanceLabels result;
  result.labels.assign(map.values.size(), 0);
  // The foreground row by row as runs of columns [x0, x1), joined into regions by a union-find over
  // the runs: a run touches a run of the row above when their columns overlap or meet at a corner.
  struct Run {
    int64_t y, x0, x1;
  };
  std::vector<Run> runs;
  std::vector<size_t> parent;
  const auto root = [&parent](size_t run) {
    while (parent[run] != run) run = parent[run] = parent[parent[run]];
    return run;
  };
  size_t above = 0, aboveEnd = 0;  // the runs of the row above: [above, aboveEnd)
  for (int64_t y = 0; y < height; ++y) {
    const float* row = map.values.data() + y * width;
    const size_t rowStart = runs.size();
    for (int64_t x = 0; x < width;) {
      if (!(row[x] >= 0.5f)) {
        ++x;
        continue;
      }
      const int64_t x0 = x;
      while (x < width && row[x] >= 0.5f) ++x;
      const size_t run = runs.size();
      runs.push_back({y, x0, x});
      parent.push_back(run);
      // Runs above that end before this one's corner cannot touch this or any later run.
      while (above < aboveEnd && runs[above].x1 < x0) ++above;
      for (size_t other = above; other < aboveEnd && runs[other].x0 <= x; ++other) {
        const size_t a = root(run), b = root(other);
        // The older run stays the root, so every region's root is its first run in raster order.
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
      }
    }
    above = rowStart;
    aboveEnd = runs.size();
  }
  std::vector<int64_t> area(runs.size(), 0);
  for (size_t run = 0; run < runs.size(); ++run) area[root(run)] += runs[run].x1 - runs[run].x0;
  // Roots come in raster order of their regions' first pixels, which is the order of the labels.
  std::vector<int32_t> label(runs.size(), 0);
  for (size_t run = 0; run < runs.size(); ++run) {
    if (parent[run] == run && area[run] >= minimumArea) label[run] = ++result.count;
  }
  for (size_t run = 0; run < runs.size(); ++run) {
    const Run& r = runs[run];
    const int32_t kept = label[root(run)];
    if (kept > 0) {
      std::fill(result.labels.begin() + r.y * width + r.x0, result.labels.begin() + r.y * width + r.x1, kept);
    } else {
      std::fill(map.values.begin() + r.y * width + r.x0, map.values.begin() + r.y * width + r.x1, 0.0f);
    }
  }
  return result;
}

namespace {

// For each output coordinate: the two source samples around its centre and the second one's weight.
struct Tap {
  int64_t first;
  int64_t second;
  float weight;
};

std::vector<Tap> tapsFor(int64_t sourceSize, int64_t targetSize) {
  std::vector<Tap> taps(static_cast<size_t>(targetSize));
  const double scale = static_cast<double>(sourceSize) / static_cast<double>(targetSize);
  for (int64_t i = 0; i < targetSize; ++i) {
    const double position = std::clamp((static_cast<double>(i) + 0.5) * scale - 0.5, 0.0,
                                       static_cast<double>(sourceSize - 1));
    const int64_t first = static_cast<int64_t>(position);
    const int64_t second = std::min(first + 1, sourceSize - 1);
    taps[static_cast<size_t>(i)] = {first, second, static_cast<float>(position - static_cast<double>(first))};
  }
  return taps;
}

// Calls `emit(y, row)` with every row of `map` resized to width × height by bilinear interpolation
// between pixel centres, top row first; `row` holds the row's width values.
template <typename Emit>
void forEachResampledRow(const ProbabilityMap& map, int64_t width, int64_t height, Emit&& emit) {
  if (width < 1 || height < 1 || map.width < 1 || map.height < 1) return;
  const std::vector<Tap> columns = tapsFor(map.width, width);
  const std::vector<Tap> rows = tapsFor(map.height, height);

  // Source rows interpolated across to the output width; each is reused by several output rows.
  std::vector<float> upper(static_cast<size_t>(width)), lower(static_cast<size_t>(width)), row(static_cast<size_t>(width));
  int64_t upperRow = -1, lowerRow = -1;
  const auto widen = [&](int64_t sourceRow, std::vector<float>& target) {
    const float* source = map.values.data() + sourceRow * map.width;
    for (size_t x = 0; x < columns.size(); ++x) {
      const Tap& tap = columns[x];
      target[x] = source[tap.first] + (source[tap.second] - source[tap.first]) * tap.weight;
    }
  };
  for (int64_t y = 0; y < height; ++y) {
    const Tap& tap = rows[static_cast<size_t>(y)];
    if (tap.first != upperRow) {
      if (tap.first == lowerRow) {
        std::swap(upper, lower);
        std::swap(upperRow, lowerRow);
      } else {
        widen(tap.first, upper);
        upperRow = tap.first;
      }
    }
    if (tap.second != lowerRow) {
      widen(tap.second, lower);
      lowerRow = tap.second;
    }
    const float weight = tap.weight;
    for (size_t x = 0; x < row.size(); ++x) row[x] = upper[x] + (lower[x] - upper[x]) * weight;
    emit(y, row);
  }
}

}  // namespace

ProbabilityMap resampledMap(const ProbabilityMap& map, int64_t width, int64_t height) {
  ProbabilityMap out{width, height, std::vector<float>(static_cast<size_t>(std::max<int64_t>(0, width * height)), 0.0f)};
  forEachResampledRow(map, width, height, [&](int64_t y, const std::vector<float>& row) {
    std::copy(row.begin(), row.end(), out.values.begin() + y * width);
  });
  return out;
}

std::unique_ptr<PixelBuffer> scaledCoverage(const ProbabilityMap& map, int64_t width, int64_t height) {
  auto buffer = std::make_unique<PixelBuffer>(width, height, PixelFormat::oneComponent8);
  if (map.width == width && map.height == height) {
    // At its own size every output pixel is its source pixel (weight 0 on the neighbour).
    for (int64_t y = 0; y < height; ++y) {
      const float* source = map.values.data() + y * width;
      std::transform(source, source + width, buffer->row(y), coverageByte);
    }
    return buffer;
  }
  forEachResampledRow(map, width, height, [&](int64_t y, const std::vector<float>& row) {
    uint8_t* out = buffer->row(y);
    for (size_t x = 0; x < row.size(); ++x) out[x] = coverageByte(row[x]);
  });
  return buffer;
}

}  // namespace rezoro::cutout
