#include "cutout/segmentation/foreground_request.h"

#include <algorithm>
#include <optional>

#include "cutout/contract/cutout_failure.h"

namespace rezoro::cutout {
namespace {

std::optional<ComputeDevice> firstOfKind(const std::vector<ComputeDevice>& devices, ComputeDeviceKind kind) {
  const auto found = std::find_if(devices.begin(), devices.end(),
                                  [kind](const ComputeDevice& device) { return device.kind == kind; });
  if (found == devices.end()) return std::nullopt;
  return *found;
}

}  // namespace

ForegroundRequest configuredRequest(ForegroundEngine& engine) {
  ComputeStageDevices stages;
  try {
    stages = engine.supportedComputeStageDevices();
  } catch (...) {
    throw CutoutFailure::unsupportedHardware;
  }
  const bool hasMain = std::any_of(stages.begin(), stages.end(),
                                   [](const auto& stage) { return stage.first == ComputeStage::main; });
  if (!hasMain) throw CutoutFailure::unsupportedHardware;

  ForegroundRequest request;
  for (const auto& [stage, devices] : stages) {
    // The main stage runs the network: a GPU when there is one. Linux machines often have none, so
    // it falls back to the CPU rather than refusing the machine.
    const ComputeDeviceKind preferred = stage == ComputeStage::main ? ComputeDeviceKind::gpu : ComputeDeviceKind::cpu;
    const ComputeDeviceKind fallback = stage == ComputeStage::main ? ComputeDeviceKind::cpu : ComputeDeviceKind::gpu;
    std::optional<ComputeDevice> chosen = firstOfKind(devices, preferred);
    if (!chosen) chosen = firstOfKind(devices, fallback);
    if (!chosen) throw CutoutFailure::unsupportedHardware;
    request.computeDevices.emplace(stage, *chosen);
  }
  return request;
}

}  // namespace rezoro::cutout
