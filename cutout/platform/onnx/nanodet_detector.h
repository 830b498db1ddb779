#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "cutout/segmentation/person_detector.h"

namespace rezoro::cutout {

// One thing the detector saw: its COCO class (0 is "person"), score and bounds.
struct DetectedObject {
  int classIndex = 0;
  float score = 0;
  Rect bounds;  // in pixels of the analysed image, top-left origin
};

// Person detection with NanoDet (COCO class "person") in ONNX Runtime, on the CPU. The model
// ("nanodet.onnx" in the models folder beside the executable) is loaded once per process, on the
// first detection. The image is scaled, keeping its aspect ratio, into the top-left corner of the
// 416 × 416 input; the rest of the input is neutral padding.
class NanodetDetector final : public PersonDetector {
 public:
  ComputeStageDevices supportedComputeStageDevices() override;
  // Throws OnnxError when the model cannot be loaded or run.
  std::vector<HumanObservation> perform(const HumanRequest& request, const UprightImage& image) override;
  // Everything the network sees in `image`, of any of its 80 classes, scoring at least
  // `minimumScore`: boxes in the image's pixels (top-left origin), highest score first, a box
  // overlapping a higher-scoring one of any class by more than 60 % of their union suppressed.
  std::vector<DetectedObject> objects(const UprightImage& image, float minimumScore);
};

// The network's input side and its output strides.
inline constexpr int nanodetInputSize = 416;
inline constexpr std::array<int, 3> nanodetStrides{8, 16, 32};
inline constexpr int nanodetClasses = 80;
inline constexpr int nanodetBins = 11;  // distance bins per box side

// The network's raw outputs for one pass, per stride: class probabilities [cells × 80] and box side
// distributions [cells × 4 × 11] (left, top, right, bottom), cells in row-major order.
struct NanodetOutputs {
  std::array<std::span<const float>, 3> scores;
  std::array<std::span<const float>, 3> boxes;
};

// Decodes the people from one pass whose picture filled contentWidth × contentHeight input pixels
// from the top-left corner: candidates of at least `minimumScore`, overlapping ones suppressed,
// highest score first, boxes in input pixels of the picture (top-left origin).
std::vector<HumanObservation> nanodetPeople(const NanodetOutputs& outputs, int contentWidth, int contentHeight,
                                            float minimumScore);

// Decodes every class from one pass the same way: each cell's best class, in input pixels of the
// picture (top-left origin), overlapping ones suppressed whatever their class, highest score first.
std::vector<DetectedObject> nanodetObjects(const NanodetOutputs& outputs, int contentWidth, int contentHeight,
                                           float minimumScore);

}  // namespace rezoro::cutout
