#pragma once

#include <map>
#include <vector>

#include "cutout/segmentation/foreground_engine.h"
#include "cutout/segmentation/rect.h"
#include "cutout/segmentation/upright_image.h"

namespace rezoro::cutout {

// A configured, unperformed person detection request (whole bodies): the device of each stage.
struct HumanRequest {
  std::map<ComputeStage, ComputeDevice> computeDevices;
};

// One person the detector found, in pixels of the analysed image (top-left origin, y growing
// downwards); the box may reach slightly past the image.
struct HumanObservation {
  float confidence = 0;
  Rect bounds;
};

// The person detection service. Abstract so that tests can fake it; the real one is NanodetDetector.
class PersonDetector {
 public:
  virtual ~PersonDetector() = default;
  // The devices each compute stage can use. Throws when they cannot be queried.
  virtual ComputeStageDevices supportedComputeStageDevices() = 0;
  // The people in `image` (upright), in the detector's order. Throws when detection fails.
  virtual std::vector<HumanObservation> perform(const HumanRequest& request, const UprightImage& image) = 0;
};

// A new request for `detector`: for every compute stage its first CPU, else its first GPU. The
// device query's own exception passes through unchanged; an empty table or a stage with neither
// device throws CutoutFailure::noForeground (person detection is unavailable).
HumanRequest configuredHumanRequest(PersonDetector& detector);

}  // namespace rezoro::cutout
