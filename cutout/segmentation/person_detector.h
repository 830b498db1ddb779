#pragma once

#include <map>
#include <vector>

#include "cutout/segmentation/foreground_engine.h"
#include "cutout/segmentation/rect.h"
#include "cutout/segmentation/upright_image.h"

namespace rezoro::cutout {

// A configured, unperformed person detection request.
struct HumanRequest {
  int revision = 2;
  bool upperBodyOnly = false;  // whole bodies
  bool preferBackgroundProcessing = true;
  std::map<ComputeStage, ComputeDevice> computeDevices;
};

// One person the detector found. `boundingBox` is normalised to the analysed image (0 to 1) with its
// origin at the bottom-left corner and y growing upwards.
struct HumanObservation {
  float confidence = 0;
  Rect boundingBox;
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

// A new request for `detector`: revision 2, whole bodies, background processing preferred, and for
// every compute stage its first CPU, else its first GPU. The device query's own exception passes
// through unchanged; an empty table or a stage with neither device throws
// CutoutFailure::noForeground (person detection is unavailable).
HumanRequest configuredHumanRequest(PersonDetector& detector);

}  // namespace rezoro::cutout
