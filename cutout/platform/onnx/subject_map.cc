#include "cutout/platform/onnx/subject_map.h"

#include <algorithm>
#include <cmath>

namespace rezoro::cutout {
namespace {

constexpr float foreground = 0.5f;

Rect grown(const Rect& rect, double share) {
  const Rect r = rect.standardized();
  return r.insetBy(-share * r.width, -share * r.height);
}

// The mean of each pixel's window of radius `radius` (clipped at the borders), in two running-sum passes.
std::vector<float> boxMean(const std::vector<float>& in, int64_t width, int64_t height, int64_t radius) {
  std::vector<float> across(in.size());
  std::vector<double> sums(static_cast<size_t>(std::max(width, height)) + 1);
  for (int64_t y = 0; y < height; ++y) {
    const float* row = in.data() + y * width;
    sums[0] = 0;
    for (int64_t x = 0; x < width; ++x) sums[size_t(x + 1)] = sums[size_t(x)] + row[x];
    float* out = across.data() + y * width;
    for (int64_t x = 0; x < width; ++x) {
      const int64_t x0 = std::max<int64_t>(0, x - radius), x1 = std::min(width, x + radius + 1);
      out[x] = float((sums[size_t(x1)] - sums[size_t(x0)]) / double(x1 - x0));
    }
  }
  std::vector<float> result(in.size());
  // Down the columns, a row at a time so that memory is read in order.
  std::vector<double> running(static_cast<size_t>(width), 0.0);
  // running holds the sum of rows [y0, y1) for the current window.
  int64_t y0 = 0, y1 = 0;
  for (int64_t y = 0; y < height; ++y) {
    const int64_t want0 = std::max<int64_t>(0, y - radius), want1 = std::min(height, y + radius + 1);
    while (y1 < want1) {
      const float* row = across.data() + y1 * width;
      for (int64_t x = 0; x < width; ++x) running[size_t(x)] += row[x];
      ++y1;
    }
    while (y0 < want0) {
      const float* row = across.data() + y0 * width;
      for (int64_t x = 0; x < width; ++x) running[size_t(x)] -= row[x];
      ++y0;
    }
    const double count = double(y1 - y0);
    float* out = result.data() + y * width;
    for (int64_t x = 0; x < width; ++x) out[x] = float(running[size_t(x)] / count);
  }
  return result;
}

}  // namespace

ProbabilityMap resampledMap(const ProbabilityMap& map, int64_t width, int64_t height) {
  ProbabilityMap out{width, height, std::vector<float>(static_cast<size_t>(std::max<int64_t>(0, width * height)), 0.0f)};
  if (width < 1 || height < 1 || map.width < 1 || map.height < 1) return out;
  const auto taps = [](int64_t source, int64_t target) {
    std::vector<std::pair<int64_t, float>> result(static_cast<size_t>(target));
    const double scale = double(source) / double(target);
    for (int64_t i = 0; i < target; ++i) {
      const double position = std::clamp((double(i) + 0.5) * scale - 0.5, 0.0, double(source - 1));
      const auto first = int64_t(position);
      result[size_t(i)] = {first, float(position - double(first))};
    }
    return result;
  };
  const auto columns = taps(map.width, width), rows = taps(map.height, height);
  for (int64_t y = 0; y < height; ++y) {
    const auto [r0, wy] = rows[size_t(y)];
    const int64_t r1 = std::min(r0 + 1, map.height - 1);
    const float* upper = map.values.data() + r0 * map.width;
    const float* lower = map.values.data() + r1 * map.width;
    float* target = out.values.data() + y * width;
    for (int64_t x = 0; x < width; ++x) {
      const auto [c0, wx] = columns[size_t(x)];
      const int64_t c1 = std::min(c0 + 1, map.width - 1);
      const float top = upper[c0] + (upper[c1] - upper[c0]) * wx;
      const float bottom = lower[c0] + (lower[c1] - lower[c0]) * wx;
      target[x] = top + (bottom - top) * wy;
    }
  }
  return out;
}

double foregroundShare(const ProbabilityMap& map, const Rect& rect) {
  return foregroundShareOf(map.values, map.width, map.height, rect, [](float v) { return v >= foreground; });
}

Rect foregroundBounds(const ProbabilityMap& map) {
  int64_t x0 = map.width, y0 = map.height, x1 = -1, y1 = -1;
  for (int64_t y = 0; y < map.height; ++y) {
    const float* row = map.values.data() + y * map.width;
    for (int64_t x = 0; x < map.width; ++x) {
      if (row[x] < foreground) continue;
      x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
  }
  if (x1 < 0) return Rect::null();
  return {double(x0), double(y0), double(x1 - x0 + 1), double(y1 - y0 + 1)};
}

bool cropHoldsSubject(const ProbabilityMap& crop, const Rect& box, const std::array<bool, 4>& open) {
  if (crop.width < 3 || crop.height < 3) return false;
  if (foregroundShare(crop, box) < 0.2) return false;
  const auto [bx0, by0, bx1, by1] = pixelSpan(grown(box, 0.25), crop.width, crop.height);
  int64_t total = 0, inside = 0;
  // Foreground pixels on each side's outermost two rows or columns.
  std::array<int64_t, 4> along{};
  for (int64_t y = 0; y < crop.height; ++y) {
    const float* row = crop.values.data() + y * crop.width;
    for (int64_t x = 0; x < crop.width; ++x) {
      if (row[x] < foreground) continue;
      ++total;
      inside += x >= bx0 && x < bx1 && y >= by0 && y < by1;
      along[0] += x <= 1;
      along[1] += y <= 1;
      along[2] += x >= crop.width - 2;
      along[3] += y >= crop.height - 2;
    }
  }
  if (total == 0 || double(inside) < 0.8 * double(total)) return false;
  const std::array<int64_t, 4> sideLength{crop.height, crop.width, crop.height, crop.width};
  for (size_t side = 0; side < 4; ++side) {
    // A subject cut by a side inside the picture: foreground along a tenth of that side.
    if (open[side] && double(along[side]) > 0.1 * 2.0 * double(sideLength[side])) return false;
  }
  return true;
}

void pasteLarger(ProbabilityMap& map, const ProbabilityMap& crop, const Rect& rect) {
  const auto x = int64_t(rect.x), y = int64_t(rect.y);
  for (int64_t r = 0; r < crop.height && y + r < map.height; ++r) {
    if (y + r < 0) continue;
    float* target = map.values.data() + (y + r) * map.width;
    const float* source = crop.values.data() + r * crop.width;
    for (int64_t c = 0; c < crop.width && x + c < map.width; ++c) {
      if (x + c >= 0) target[x + c] = std::max(target[x + c], source[c]);
    }
  }
}

bool closerPassAgrees(const ProbabilityMap& map, const ProbabilityMap& closer, const Rect& rect,
                      double minimumAgreement) {
  const auto x = int64_t(rect.x), y = int64_t(rect.y);
  int64_t both = 0, either = 0;
  for (int64_t r = 0; r < closer.height && y + r < map.height; ++r) {
    const float* whole = map.values.data() + (y + r) * map.width;
    const float* near = closer.values.data() + r * closer.width;
    for (int64_t c = 0; c < closer.width && x + c < map.width; ++c) {
      const bool a = whole[x + c] >= foreground, b = near[c] >= foreground;
      both += a && b;
      either += a || b;
    }
  }
  return either > 0 && double(both) >= minimumAgreement * double(either);
}

void guidedRefine(ProbabilityMap& map, const std::vector<uint8_t>& gray, int64_t radius, float epsilon) {
  const int64_t width = map.width, height = map.height;
  if (width < 1 || height < 1 || gray.size() != map.values.size()) return;
  // The windows' fits are smooth, so they are made on a grid `step` times coarser and interpolated
  // back; only the final linear function of the guide runs at the map's size.
  const int64_t step = std::max<int64_t>(1, radius / 4);
  const int64_t coarseWidth = (width + step - 1) / step, coarseHeight = (height + step - 1) / step;
  const int64_t coarseRadius = std::max<int64_t>(1, radius / step);
  const size_t n = size_t(coarseWidth * coarseHeight);
  std::vector<float> guide(n, 0.0f), values(n, 0.0f);
  for (int64_t cy = 0; cy < coarseHeight; ++cy) {
    for (int64_t cx = 0; cx < coarseWidth; ++cx) {
      double g = 0, v = 0;
      int64_t count = 0;
      for (int64_t y = cy * step; y < std::min(height, (cy + 1) * step); ++y) {
        for (int64_t x = cx * step; x < std::min(width, (cx + 1) * step); ++x) {
          g += gray[size_t(y * width + x)];
          v += map.values[size_t(y * width + x)];
          ++count;
        }
      }
      guide[size_t(cy * coarseWidth + cx)] = float(g / 255.0 / double(count));
      values[size_t(cy * coarseWidth + cx)] = float(v / double(count));
    }
  }
  std::vector<float> product(n), square(n);
  for (size_t i = 0; i < n; ++i) {
    product[i] = guide[i] * values[i];
    square[i] = guide[i] * guide[i];
  }
  const std::vector<float> meanGuide = boxMean(guide, coarseWidth, coarseHeight, coarseRadius);
  const std::vector<float> meanMap = boxMean(values, coarseWidth, coarseHeight, coarseRadius);
  const std::vector<float> meanProduct = boxMean(product, coarseWidth, coarseHeight, coarseRadius);
  const std::vector<float> meanSquare = boxMean(square, coarseWidth, coarseHeight, coarseRadius);
  // Each window's fit: map ≈ a × guide + b.
  std::vector<float> a(n), b(n);
  for (size_t i = 0; i < n; ++i) {
    const float variance = meanSquare[i] - meanGuide[i] * meanGuide[i];
    const float covariance = meanProduct[i] - meanGuide[i] * meanMap[i];
    a[i] = covariance / (variance + epsilon);
    b[i] = meanMap[i] - a[i] * meanGuide[i];
  }
  const ProbabilityMap slope = resampledMap({coarseWidth, coarseHeight, boxMean(a, coarseWidth, coarseHeight, coarseRadius)},
                                            width, height);
  const ProbabilityMap offset = resampledMap({coarseWidth, coarseHeight, boxMean(b, coarseWidth, coarseHeight, coarseRadius)},
                                             width, height);
  for (size_t i = 0; i < map.values.size(); ++i) {
    map.values[i] = std::clamp(slope.values[i] * (float(gray[i]) / 255.0f) + offset.values[i], 0.0f, 1.0f);
  }
}

}  // namespace rezoro::cutout
