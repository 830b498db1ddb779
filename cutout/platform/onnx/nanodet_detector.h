#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "cutout/segmentation/person_detector.h"

namespace rezoro::cutout {

// Person detection with NanoDet (COCO class "person") in ONNX Runtime, on the CPU. The model
// ("nanodet.onnx" in the models folder beside the executable) is loaded once per process, on the
// first detection. The image is scaled, keeping its aspect ratio, into the top-left corner of the
// 416 × 416 input; the rest of the input is neutral padding.
class NanodetDetector final : public PersonDetector {
 public:
  ComputeStageDevices supportedComputeStageDevices() override;
  // Throws OnnxError when the model cannot be loaded or run.
  std::vector<HumanObservation> perform(const HumanRequest& request, const UprightImage& image) override;
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
// highest score first, boxes normalised to the picture with a bottom-left origin.
std::vector<HumanObservation> nanodetPeople(const NanodetOutputs& outputs, int contentWidth, int contentHeight,
                                            float minimumScore);

}  // namespace rezoro::cutout
