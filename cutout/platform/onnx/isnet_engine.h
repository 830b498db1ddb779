#pragma once

#include <filesystem>

#include "cutout/segmentation/foreground_engine.h"

namespace rezoro::cutout {

// Foreground-instance segmentation with the ISNet network in ONNX Runtime. The network sees the
// upright image squeezed to the model's square input (1024 × 1024 unless the model fixes another); its instances are the connected foreground regions of its
// output, and the scaled mask is that output resized to the analysed image.
//
// The network is loaded on the first perform and then shared by every engine and request of the
// process; an engine object itself is cheap.
class IsnetEngine : public ForegroundEngine {
 public:
  // Uses the model installed beside the executable unless given another file.
  IsnetEngine();
  explicit IsnetEngine(std::filesystem::path modelPath);

  // The runtime answers and the model file is readable. Runs nothing.
  bool isAvailable() override;
  // CPU always; a GPU as well when the runtime offers CUDA. Throws when the runtime cannot be asked.
  ComputeStageDevices supportedComputeStageDevices() override;
  // Throws VipsError for an image that cannot be decoded, OnnxError when the network fails.
  std::unique_ptr<InstanceMaskObservation> perform(const ForegroundRequest& request,
                                                   const ImageRequestHandler& handler) override;

 private:
  std::filesystem::path modelPath_;
};

// The file name of the segmentation network in the installed models folder: ISNet reduced to its
// mask output and quantised to int8 throughout, convolutions and the feature maps between them
// (isnet.onnx, its float32 original, stays installed for comparison).
inline constexpr const char* isnetModelName = "isnet-int8-all.onnx";

// The square input side of a network whose model does not fix one.
inline constexpr int64_t isnetSide = 1024;

// The smallest region, in pixels of the network's output (`side` × `side`), that counts as an
// instance: 0.05 % of the map, about 23 × 23 pixels at 1024. Smaller regions are specks of texture or
// noise; people that small in the whole picture are the business of the human-guided recovery,
// which looks at crops.
constexpr int64_t minimumInstanceArea(int64_t side) { return side * side * 5 / 10000; }

// The upright size of the handler's image: a file's header size with its axes swapped for the
// handler's orientation 5..8, or the in-memory image's size. Throws VipsError for an unreadable file.
std::pair<int64_t, int64_t> uprightSize(const ImageRequestHandler& handler);

}  // namespace rezoro::cutout
