#pragma once

#include <cstdint>
#include <vector>

#include "cutout/segmentation/foreground_engine.h"
#include "cutout/segmentation/gray_mask.h"
#include "cutout/segmentation/image_source.h"
#include "cutout/segmentation/person_detection.h"
#include "cutout/segmentation/person_detector.h"
#include "cutout/segmentation/rect.h"
#include "cutout/segmentation/upright_image.h"

namespace rezoro::cutout {

// People whose neighbourhoods overlap, segmented together in one crop.
struct HumanGroup {
  Rect bounds;                  // union of the members' bounds
  std::vector<HumanBox> people;  // in the order they joined
};

// The outcome of a recovery: a full-size mask holding only the accepted crops, and its counters.
struct RecoveredMask {
  GrayMask mask;
  int64_t detectionPasses = 0;  // detector runs behind the boxes, as passed in
  int64_t peopleCount = 0;      // boxes passed in, before grouping
  int64_t cropPasses = 0;       // the caller's crop-pass counter when recovery finished
  int64_t instanceCount = 0;    // foreground instances over all accepted crops
};

// Groups the boxes (1 to 24), segments one padded crop per group (at most 4) with `engine` and
// pastes the crop masks into a new mask of the image's size, keeping the larger value where crops
// overlap. All or nothing: a crop that cuts a figure off, holds too little or too much foreground,
// or misses a member's figure throws CutoutFailure::noForeground, as does a wrong box or group
// count. `cropPasses` is advanced once per segmentation attempted, also when recovery then fails.
// Throws the image size's invalidInput/imageTooLarge, configuredRequest's unsupportedHardware,
// grayscaleMask's failures, and the engine's exceptions unchanged.
RecoveredMask recoverPeople(const std::vector<HumanBox>& boxes, const UprightImage& image, double paddingX,
                            double paddingY, int64_t detectionPasses, int64_t& cropPasses, ForegroundEngine& engine);

// Finds people over the whole image and its search tiles, de-duplicates them and recovers them with
// wide padding. Throws CutoutFailure::noForeground when the image cannot be decoded at width ×
// height, when detection is unavailable, when more than 240 people are found, and for everything
// recoverPeople refuses; the detector's and the engine's exceptions pass through unchanged.
RecoveredMask recoverDistantPeople(ImageSource& source, int64_t width, int64_t height, PersonDetector& detector,
                                   ForegroundEngine& engine);

// The whole image, then up to nine overlapping tiles of 40 % × 60 % (centre first, then by rows);
// fewer when small sizes make tiles coincide.
std::vector<Rect> humanSearchTiles(int64_t width, int64_t height);

// Exposed for tests: the groups recoverPeople segments, and the crop it cuts for one of them.
std::vector<HumanGroup> groupedPeople(const std::vector<HumanBox>& boxes);
Rect recoveryCrop(const HumanGroup& group, double paddingX, double paddingY, int64_t width, int64_t height);

}  // namespace rezoro::cutout
