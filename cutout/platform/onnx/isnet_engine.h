#pragma once

#include <filesystem>

#include "cutout/segmentation/foreground_engine.h"

namespace rezoro::cutout {

// Foreground-instance segmentation with the ISNet network in ONNX Runtime. The network sees the
// upright image squeezed to the model's square input (1024 × 1024 unless the model fixes another).
// An image file is decoded once at its working size (workingSide); the network's map is resized to
// it and its edge refined with the picture's colours in a narrow band (refineEdges), the rest of
// the map kept as the network made it but for its soft tail beyond the edge's outer pixel
// (clearDetachedTails). The instances are the connected foreground regions of the
// map, and the scaled mask is the map resized to the analysed image; the observation keeps the
// working picture (analysedPicture). An in-memory image (a crop) gets the network's map alone.
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
  // Throws VipsError for an image that its source cannot decode, OnnxError when the network fails.
  std::unique_ptr<InstanceMaskObservation> perform(const ForegroundRequest& request,
                                                   const ImageRequestHandler& handler) override;

 private:
  std::filesystem::path modelPath_;
};

// The longer side, in pixels, of the picture an image file is analysed at (never enlarged): the
// resolution of the map's refined edges, which the mask's larger sizes interpolate.
inline constexpr int64_t workingSide = 1600;

// The half width of the band around the map's edge that is refined, in pixels of the network's map:
// its edge is rarely further than that from the photo's.
inline constexpr double edgeReachInNetworkPixels = 2.0;

// That reach in pixels of a width × height working picture, at least 2.
int64_t edgeReach(int64_t width, int64_t height);

// The file name of the segmentation network in the installed models folder: ISNet reduced to its
// mask output and quantised to int8 throughout, convolutions and the feature maps between them
// (isnet.onnx, its float32 original, stays beside it in the build tree for the benchmarks and tests
// that compare the two; the package leaves it out).
inline constexpr const char* isnetModelName = "isnet-int8-rgb.onnx";

// The square input side of a network whose model does not fix one.
inline constexpr int64_t isnetSide = 1024;

// The smallest region, in pixels of a map of width × height, that counts as an instance: 0.05 % of
// the map, about 23 × 23 pixels at 1024 × 1024. Smaller regions are specks of texture or noise;
// people that small in the whole picture are the business of the human-guided recovery, which
// looks at crops.
constexpr int64_t minimumInstanceArea(int64_t width, int64_t height) { return width * height * 5 / 10000; }

// The upright size of the handler's image: the file's as the handler gives it, or the in-memory
// image's. Throws VipsError for a handler without an image.
std::pair<int64_t, int64_t> uprightSize(const ImageRequestHandler& handler);

}  // namespace rezoro::cutout
