#pragma once

#include <vector>

#include "cutout/segmentation/person_detector.h"
#include "cutout/segmentation/rect.h"
#include "cutout/segmentation/upright_image.h"

namespace rezoro::cutout {

// A detected person: bounds in upright image pixels (top-left origin, clipped to the image) and the
// detector's confidence.
struct HumanBox {
  Rect bounds;
  float confidence = 0;
};

struct ImageSize {
  double width = 0;
  double height = 0;
};

// Runs the detector on the `tile` rectangle of a picture of size `full` and returns, in the
// detector's order, the confident people (at least 0.6) that are at least 2 × 8 pixels and that no
// tile side inside the picture cuts, converted to the picture's pixels. `image` is the picture at
// its full size or reduced (the detector scales what it sees into its small input anyway); the tile
// and every box are in full-size pixels, and the tile is cut from `image` at its scale. A tile that
// holds no pixels gives no people. The detector's exception passes through unchanged.
std::vector<HumanBox> detectedPeople(const UprightImage& image, const Rect& tile, ImageSize full,
                                     PersonDetector& detector, const HumanRequest& request);

// The boxes without those that describe an already kept person twice (overlap of 45 % of the union,
// or 80 % of the smaller box), highest confidence first; equal confidences keep their order.
std::vector<HumanBox> deduplicatedPeople(std::vector<HumanBox> boxes);

}  // namespace rezoro::cutout
