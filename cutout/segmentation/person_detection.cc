#include "cutout/segmentation/person_detection.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace rezoro::cutout {
namespace {

constexpr float minimumConfidence = 0.6f;
constexpr double minimumWidth = 2;
constexpr double minimumHeight = 8;
// How far a box may reach past the analysed image, as a share of its size, before it counts as garbage.
constexpr double boxSlack = 0.01;
// A box ending this close to a tile side that lies inside the image is a person cut by the tile.
constexpr double tileBorder = 2;

bool isFinite(const Rect& r) {
  return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) && std::isfinite(r.height);
}

// The whole pixels of `rect` inside the image, as the platform cuts an image: the rectangle is
// snapped outwards to whole pixels and clipped; nothing when no pixel is left.
std::optional<Rect> pixelsInside(const Rect& rect, const UprightImage& image) {
  if (rect.isNull() || !isFinite(rect)) return std::nullopt;
  const Rect snapped{std::floor(rect.minX()), std::floor(rect.minY()),
                     std::ceil(rect.maxX()) - std::floor(rect.minX()), std::ceil(rect.maxY()) - std::floor(rect.minY())};
  const Rect clipped = snapped.intersection({0, 0, double(image.width), double(image.height)});
  if (clipped.isEmpty()) return std::nullopt;
  return clipped;
}

bool collides(const Rect& candidate, const Rect& kept) {
  const Rect overlap = candidate.intersection(kept);
  if (overlap.isNull()) return false;
  const double shared = overlap.area();
  const double unionArea = candidate.area() + kept.area() - shared;
  if (unionArea > 0 && shared / unionArea >= 0.45) return true;
  const double smaller = std::min(candidate.area(), kept.area());
  return smaller > 0 && shared / smaller >= 0.8;
}

}  // namespace

std::vector<HumanBox> detectedPeople(const UprightImage& image, const Rect& tile, ImageSize full,
                                     PersonDetector& detector, const HumanRequest& request) {
  Rect scaledTile = tile;
  if (full.width > 0 && full.height > 0 && (double(image.width) != full.width || double(image.height) != full.height)) {
    const double sx = double(image.width) / full.width, sy = double(image.height) / full.height;
    scaledTile = {tile.x * sx, tile.y * sy, tile.width * sx, tile.height * sy};
  }
  const std::optional<Rect> pixels = pixelsInside(scaledTile, image);
  if (!pixels) return {};
  std::vector<HumanObservation> observations;
  if (*pixels == Rect{0, 0, double(image.width), double(image.height)}) {
    observations = detector.perform(request, image);
  } else {
    const std::optional<UprightImage> cut = image.cropped(*pixels);
    if (!cut) return {};
    observations = detector.perform(request, *cut);
  }

  // The detector answers in pixels of what it analysed; the tile is in full-size pixels.
  const double analysedWidth = pixels->width, analysedHeight = pixels->height;
  const double tx = tile.minX(), ty = tile.minY(), tw = tile.standardized().width, th = tile.standardized().height;
  const double sx = tw / analysedWidth, sy = th / analysedHeight;
  const Rect imageRect{0, 0, full.width, full.height};
  std::vector<HumanBox> people;
  for (const HumanObservation& observation : observations) {
    if (!std::isfinite(observation.confidence) || observation.confidence < minimumConfidence) continue;
    const Rect& b = observation.bounds;
    if (!isFinite(b)) continue;
    if (b.minX() < -boxSlack * analysedWidth || b.minY() < -boxSlack * analysedHeight ||
        b.maxX() > (1 + boxSlack) * analysedWidth || b.maxY() > (1 + boxSlack) * analysedHeight) {
      continue;
    }
    const double width = b.standardized().width * sx, height = b.standardized().height * sy;
    if (width < minimumWidth || height < minimumHeight) continue;
    const Rect r = Rect{tx + b.minX() * sx, ty + b.minY() * sy, width, height}.intersection(imageRect);
    if (r.isNull() || r.width < minimumWidth || r.height < minimumHeight) continue;
    if ((r.minX() - tx < tileBorder && tx > 0) || ((tx + tw) - r.maxX() < tileBorder && tx + tw < full.width) ||
        (r.minY() - ty < tileBorder && ty > 0) || ((ty + th) - r.maxY() < tileBorder && ty + th < full.height)) {
      continue;
    }
    people.push_back({r, observation.confidence});
  }
  return people;
}

std::vector<HumanBox> deduplicatedPeople(std::vector<HumanBox> boxes) {
  // A NaN confidence would break the sort's ordering; it ranks last.
  auto rank = [](const HumanBox& box) { return std::isnan(box.confidence) ? -INFINITY : box.confidence; };
  std::stable_sort(boxes.begin(), boxes.end(),
                   [&](const HumanBox& a, const HumanBox& b) { return rank(a) > rank(b); });
  std::vector<HumanBox> kept;
  for (const HumanBox& candidate : boxes) {
    const bool duplicate = std::any_of(kept.begin(), kept.end(),
                                       [&](const HumanBox& k) { return collides(candidate.bounds, k.bounds); });
    if (!duplicate) kept.push_back(candidate);
  }
  return kept;
}

}  // namespace rezoro::cutout
