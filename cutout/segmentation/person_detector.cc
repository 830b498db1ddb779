#include "cutout/segmentation/person_detector.h"

#include <algorithm>

#include "cutout/contract/cutout_failure.h"

namespace rezoro::cutout {

HumanRequest configuredHumanRequest(PersonDetector& detector) {
  HumanRequest request;
  const ComputeStageDevices stages = detector.supportedComputeStageDevices();
  if (stages.empty()) throw CutoutFailure::noForeground;
  for (const auto& [stage, devices] : stages) {
    auto chosen = std::find_if(devices.begin(), devices.end(),
                               [](const ComputeDevice& device) { return device.kind == ComputeDeviceKind::cpu; });
    if (chosen == devices.end()) {
      chosen = std::find_if(devices.begin(), devices.end(),
                            [](const ComputeDevice& device) { return device.kind == ComputeDeviceKind::gpu; });
    }
    if (chosen == devices.end()) throw CutoutFailure::noForeground;
    request.computeDevices[stage] = *chosen;
  }
  return request;
}

}  // namespace rezoro::cutout
