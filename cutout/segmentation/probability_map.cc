#include "cutout/segmentation/probability_map.h"

#include <algorithm>
#include <cmath>

namespace rezoro::cutout {

InstanceLabels keepInstances(ProbabilityMap& map, int64_t minimumArea) {
  const int64_t width = map.width, height = map.height;
  InstanceLabels result;
  result.labels.assign(map.values.size(), 0);
  std::vector<int64_t> region;
  std::vector<int64_t> pending;
  // Pixels of regions that were too small are marked with -1 while the search runs.
  for (int64_t start = 0; start < width * height; ++start) {
    if (map.values[start] < 0.5f || result.labels[start] != 0) continue;
    region.clear();
    pending.assign(1, start);
    result.labels[start] = -1;
    while (!pending.empty()) {
      const int64_t index = pending.back();
      pending.pop_back();
      region.push_back(index);
      const int64_t x = index % width, y = index / width;
      for (int64_t ny = std::max<int64_t>(y - 1, 0); ny <= std::min(y + 1, height - 1); ++ny) {
        for (int64_t nx = std::max<int64_t>(x - 1, 0); nx <= std::min(x + 1, width - 1); ++nx) {
          const int64_t neighbour = ny * width + nx;
          if (result.labels[neighbour] == 0 && map.values[neighbour] >= 0.5f) {
            result.labels[neighbour] = -1;
            pending.push_back(neighbour);
          }
        }
      }
    }
    const bool kept = static_cast<int64_t>(region.size()) >= minimumArea;
    const int32_t label = kept ? ++result.count : -1;
    for (const int64_t index : region) {
      result.labels[index] = label;
      if (!kept) map.values[index] = 0;
    }
  }
  for (int32_t& label : result.labels) label = std::max(label, 0);
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
