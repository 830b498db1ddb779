#include "cutout/segmentation/human_recovery.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <utility>

#include "cutout/contract/cutout_failure.h"
#include "cutout/segmentation/foreground_request.h"

namespace rezoro::cutout {
namespace {

constexpr size_t maximumPeople = 24;
constexpr size_t maximumGroups = 4;
constexpr size_t maximumRawDetections = 240;
constexpr double minimumPadding = 4;
// A crop this large relative to the image would just repeat the whole-image segmentation.
constexpr double maximumCropShare = 0.6;
constexpr uint8_t foregroundLevel = 128;

// How far a group reaches for neighbours: people standing side by side, or one behind another.
Rect neighbourhood(const Rect& bounds) {
  return bounds.insetBy(-0.6 * bounds.standardized().width, -0.2 * bounds.standardized().height);
}

struct CropSegmentation {
  GrayMask mask;
  int64_t instanceCount = 0;
};

// Segments one crop of the image. Everything made for the crop (its pixels, the handler, the
// observation and its buffer) is released when this returns.
CropSegmentation segmentedCrop(const UprightImage& image, const Rect& crop, int64_t& cropPasses,
                               ForegroundEngine& engine) {
  if (crop.width * crop.height >= maximumCropShare * double(image.width) * double(image.height)) {
    throw CutoutFailure::noForeground;
  }
  std::optional<UprightImage> pixels = image.cropped(crop);
  if (!pixels) throw CutoutFailure::noForeground;
  const ImageRequestHandler handler{std::make_shared<const UprightImage>(std::move(*pixels))};
  const ForegroundRequest request = configuredRequest(engine);
  // Counted before performing: a pass that then fails still ran.
  ++cropPasses;
  const std::unique_ptr<InstanceMaskObservation> observation = engine.perform(request, handler);
  if (!observation || observation->allInstances().empty()) throw CutoutFailure::noForeground;
  const std::unique_ptr<PixelBuffer> buffer = observation->generateScaledMask(observation->allInstances(), handler);
  if (!buffer) throw CutoutFailure::nativeFailure;
  return {grayscaleMask(*buffer), static_cast<int64_t>(observation->allInstances().size())};
}

// Whether the crop mask holds whole people of a plausible size: no foreground touches a crop side
// that lies inside the image, the amount of foreground fits the group, and every member's box
// holds a figure from its upper to its lower fifth.
bool cropHoldsGroup(const GrayMask& mask, const Rect& crop, const HumanGroup& group, int64_t imageWidth,
                    int64_t imageHeight) {
  const int64_t columns = mask.width, rows = mask.height;
  const bool openLeft = crop.x > 0, openTop = crop.y > 0;
  const bool openRight = crop.x + crop.width < double(imageWidth);
  const bool openBottom = crop.y + crop.height < double(imageHeight);
  int64_t foreground = 0;
  for (int64_t r = 0; r < rows; ++r) {
    const uint8_t* row = mask.bytes.data() + r * columns;
    for (int64_t c = 0; c < columns; ++c) {
      if (row[c] < foregroundLevel) continue;
      ++foreground;
      if ((c <= 1 && openLeft) || (c >= columns - 2 && openRight) || (r <= 1 && openTop) ||
          (r >= rows - 2 && openBottom)) {
        return false;
      }
    }
  }
  const double cropArea = double(columns) * double(rows);
  const double groupArea = group.bounds.standardized().width * group.bounds.standardized().height;
  const double f = double(foreground);
  if (foreground < 12 || f < 0.01 * cropArea || f > std::min(2.5 * groupArea, 0.8 * cropArea)) return false;

  for (const HumanBox& person : group.people) {
    const Rect box = person.bounds.offsetBy(-crop.x, -crop.y).intersection({0, 0, double(columns), double(rows)});
    if (box.isNull()) return false;
    const int64_t x0 = std::max<int64_t>(int64_t(std::floor(box.minX())), 0);
    const int64_t x1 = std::min<int64_t>(int64_t(std::ceil(box.maxX())), columns);
    const int64_t y0 = std::max<int64_t>(int64_t(std::floor(box.minY())), 0);
    const int64_t y1 = std::min<int64_t>(int64_t(std::ceil(box.maxY())), rows);
    if (x0 >= x1 || y0 >= y1) return false;
    int64_t count = 0, top = -1, bottom = -1;
    for (int64_t r = y0; r < y1; ++r) {
      const uint8_t* row = mask.bytes.data() + r * columns;
      const auto inRow = std::count_if(row + x0, row + x1, [](uint8_t v) { return v >= foregroundLevel; });
      if (inRow == 0) continue;
      count += inRow;
      if (top < 0) top = r;
      bottom = r;
    }
    const double span = double(y1 - y0);
    if (double(count) < 0.25 * double(x1 - x0) * span || count == 0) return false;
    if (double(top - y0) > 0.2 * span || double(bottom - y0) < 0.8 * span) return false;
  }
  return true;
}

}  // namespace

std::vector<HumanGroup> groupedPeople(const std::vector<HumanBox>& boxes) {
  std::vector<HumanGroup> groups;
  for (const HumanBox& box : boxes) groups.push_back({box.bounds, {box}});
  bool merged = true;
  while (merged) {
    merged = false;
    for (size_t j = 0; j < groups.size() && !merged; ++j) {
      for (size_t k = j + 1; k < groups.size() && !merged; ++k) {
        if (!neighbourhood(groups[j].bounds).intersects(neighbourhood(groups[k].bounds))) continue;
        groups[j].bounds = groups[j].bounds.unionWith(groups[k].bounds);
        groups[j].people.insert(groups[j].people.end(), groups[k].people.begin(), groups[k].people.end());
        groups.erase(groups.begin() + static_cast<std::ptrdiff_t>(k));
        merged = true;
      }
    }
  }
  return groups;
}

Rect recoveryCrop(const HumanGroup& group, double paddingX, double paddingY, int64_t width, int64_t height) {
  return paddedCrop(group.bounds, paddingX, paddingY, minimumPadding, width, height);
}

RecoveredMask recoverPeople(const std::vector<HumanBox>& boxes, const UprightImage& image, double paddingX,
                            double paddingY, int64_t detectionPasses, int64_t& cropPasses, ForegroundEngine& engine) {
  if (boxes.empty() || boxes.size() > maximumPeople) throw CutoutFailure::noForeground;
  const std::vector<HumanGroup> groups = groupedPeople(boxes);
  if (groups.size() > maximumGroups) throw CutoutFailure::noForeground;
  const int64_t width = image.width, height = image.height;
  if (width < 1 || height < 1) throw CutoutFailure::invalidInput;
  int64_t pixels = 0;
  if (__builtin_mul_overflow(width, height, &pixels) || pixels > maximumImagePixels) {
    throw CutoutFailure::imageTooLarge;
  }
  std::vector<uint8_t> canvas(static_cast<size_t>(pixels), 0);
  int64_t instanceCount = 0;
  for (const HumanGroup& group : groups) {
    const Rect crop = recoveryCrop(group, paddingX, paddingY, width, height);
    const CropSegmentation segmentation = segmentedCrop(image, crop, cropPasses, engine);
    const GrayMask& mask = segmentation.mask;
    if (mask.width != int64_t(crop.width) || mask.height != int64_t(crop.height) ||
        mask.bytes.size() != static_cast<size_t>(mask.width * mask.height)) {
      throw CutoutFailure::noForeground;
    }
    if (!cropHoldsGroup(mask, crop, group, width, height)) throw CutoutFailure::noForeground;
    instanceCount += segmentation.instanceCount;
    const auto x = int64_t(crop.x), y = int64_t(crop.y);
    for (int64_t r = 0; r < mask.height; ++r) {
      uint8_t* target = canvas.data() + (y + r) * width + x;
      const uint8_t* source = mask.bytes.data() + r * mask.width;
      for (int64_t c = 0; c < mask.width; ++c) target[c] = std::max(target[c], source[c]);
    }
  }
  return {GrayMask{width, height, std::move(canvas)}, detectionPasses, static_cast<int64_t>(boxes.size()),
          cropPasses, instanceCount};
}

std::vector<Rect> humanSearchTiles(int64_t width, int64_t height) {
  std::vector<Rect> tiles{{0, 0, double(width), double(height)}};
  const int64_t tileWidth = std::max<int64_t>(1, std::llround(double(width) * 0.4));
  const int64_t tileHeight = std::max<int64_t>(1, std::llround(double(height) * 0.6));
  const std::array<int64_t, 3> xs{0, (width - tileWidth) / 2, width - tileWidth};
  const std::array<int64_t, 3> ys{0, (height - tileHeight) / 2, height - tileHeight};
  // Centre first, then the top row, the middle row's sides and the bottom row.
  static constexpr std::array<std::pair<int, int>, 9> cells{
      {{1, 1}, {0, 0}, {1, 0}, {2, 0}, {0, 1}, {2, 1}, {0, 2}, {1, 2}, {2, 2}}};
  for (const auto& [column, row] : cells) {
    const Rect tile{double(xs[size_t(column)]), double(ys[size_t(row)]), double(tileWidth), double(tileHeight)};
    if (std::find(tiles.begin(), tiles.end(), tile) == tiles.end()) tiles.push_back(tile);
  }
  return tiles;
}

RecoveredMask recoverDistantPeople(ImageSource& source, int64_t width, int64_t height, PersonDetector& detector,
                                   ForegroundEngine& engine) {
  const UprightImage upright = uprightImage(source, width, height);
  const HumanRequest request = configuredHumanRequest(detector);
  const std::vector<Rect> tiles = humanSearchTiles(width, height);
  std::vector<HumanBox> found;
  for (const Rect& tile : tiles) {
    const std::vector<HumanBox> people =
        detectedPeople(upright, tile, {double(width), double(height)}, detector, request);
    found.insert(found.end(), people.begin(), people.end());
    if (found.size() > maximumRawDetections) throw CutoutFailure::noForeground;
  }
  int64_t cropPasses = 0;
  return recoverPeople(deduplicatedPeople(std::move(found)), upright, 0.5, 0.4, static_cast<int64_t>(tiles.size()),
                       cropPasses, engine);
}

}  // namespace rezoro::cutout
