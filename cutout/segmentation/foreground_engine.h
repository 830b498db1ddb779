#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <variant>
#include <vector>

#include "cutout/segmentation/image_source.h"
#include "cutout/segmentation/pixel_buffer.h"
#include "cutout/segmentation/upright_image.h"

namespace rezoro::cutout {

// Compute devices and stages as an analysis service reports them.
enum class ComputeDeviceKind { cpu, gpu, neuralEngine };
struct ComputeDevice {
  ComputeDeviceKind kind;
  int index = 0;  // which device of that kind
  friend bool operator==(const ComputeDevice&, const ComputeDevice&) = default;
};
enum class ComputeStage { main, postProcessing };
// Stages in the order the service lists them, each with its devices in preference order.
using ComputeStageDevices = std::vector<std::pair<ComputeStage, std::vector<ComputeDevice>>>;

// What an analysis request is performed on: the job's opened image file, which the analysis decodes
// (upright, through the source) at the size it needs, or an upright image in memory (a crop).
struct ImageRequestHandler {
  struct File {
    std::reference_wrapper<ImageSource> source;
    int64_t width = 0;  // the upright size, its header's with the axes swapped for orientations 5..8
    int64_t height = 0;
  };
  std::variant<File, std::shared_ptr<const UprightImage>> image;
};

// A configured, unperformed foreground-instance segmentation request: the device of each stage.
struct ForegroundRequest {
  std::map<ComputeStage, ComputeDevice> computeDevices;
};

// The result of one segmentation: the foreground instances found in the analysed image.
class InstanceMaskObservation {
 public:
  virtual ~InstanceMaskObservation() = default;
  // Indices of every foreground instance; empty when nothing was found.
  virtual const std::set<int64_t>& allInstances() const = 0;
  // A mask of `instances`, scaled to the analysed image's upright size, as a one-component float
  // buffer (coverage 0..1). Returns null when none can be made; throws on a runtime failure.
  virtual std::unique_ptr<PixelBuffer> generateScaledMask(const std::set<int64_t>& instances,
                                                          const ImageRequestHandler& handler) const = 0;
  // The upright picture that was analysed when the segmentation decoded the handler's file (the
  // whole image, possibly reduced), for later looks at the same picture that need not decode the
  // file again; null when the observation keeps none.
  virtual std::shared_ptr<const UprightImage> analysedPicture() const { return nullptr; }
};

// The foreground-instance segmentation service. Abstract so that tests can fake it; the real one
// runs a segmentation network in ONNX Runtime.
class ForegroundEngine {
 public:
  virtual ~ForegroundEngine() = default;
  // Whether the service can run here at all (runtime loads, model installed); cheap, no inference.
  virtual bool isAvailable() = 0;
  // The devices each compute stage can use. Throws when they cannot be queried.
  virtual ComputeStageDevices supportedComputeStageDevices() = 0;
  // Performs `request` on the handler's image. Returns the first result, or null when there is
  // none. Throws CutoutFailure or another exception on failure.
  virtual std::unique_ptr<InstanceMaskObservation> perform(const ForegroundRequest& request,
                                                           const ImageRequestHandler& handler) = 0;
};

}  // namespace rezoro::cutout
