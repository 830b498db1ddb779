#pragma once

#include <filesystem>
#include <functional>

#include "cutout/platform/onnx/nanodet_detector.h"
#include "cutout/platform/onnx/probability_map.h"
#include "cutout/segmentation/foreground_engine.h"

namespace rezoro::cutout {

// Foreground-instance segmentation with the ISNet network in ONNX Runtime. The network sees the
// upright image squeezed to the model's square input (1024 × 1024 unless the model fixes another).
// An image file is analysed further (subjectMap): the detector's boxes of any class and a closer
// pass over a small subject refine the map at the picture's working size, and its edges are made to
// follow the picture's. The instances are the connected foreground regions of the map, and the
// scaled mask is the map resized to the analysed image. An in-memory image (a crop) gets the
// network's map alone.
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
  NanodetDetector detector_;
};

// The longer side, in pixels, of the picture an image file is analysed at (never enlarged): the
// network's input with room for a closer look and for edges finer than the network's map.
inline constexpr int64_t workingSide = 1600;

// The detector's score from which a box of any class counts as evidence of a subject.
inline constexpr float subjectEvidenceScore = 0.45f;

// A box counts as subject evidence only when it covers at least this share of the picture (smaller
// ones are mostly the background's details: a clock on a wall, a car down the street) and at least
// the next share of the largest box's area (a crowd behind a player).
inline constexpr double minimumBoxShare = 0.02;
inline constexpr double minimumBoxShareOfLargest = 0.25;

// Network passes beyond the whole picture's, at most, per image file.
inline constexpr int64_t maximumExtraPasses = 2;

// A subject whose padded bounds cover at most this share of the picture is looked at again from closer.
inline constexpr double closerLookShare = 0.4;

// One network pass over an upright picture (squeezed into the network's input), and a search for
// the things in a picture; subjectMap is given both so that its rules can be tried with fakes.
using NetworkPass = std::function<ProbabilityMap(const UprightImage&)>;
using ObjectSearch = std::function<std::vector<DetectedObject>(const UprightImage&)>;

// The foreground map of `picture` at its size, from the network's pass over the whole picture:
// 1. a confident box (of a subject's size) that the map leaves mostly background is segmented
//    again in a padded crop, whose map is added when it holds the boxed subject (cropHoldsSubject):
//    a second subject the whole pass dropped comes back as an instance of its own;
// 2. when the foreground's padded bounds are a small share of the picture, a crop around them is
//    segmented from closer and added to the map where the two passes agree (closerPassAgrees);
// 3. the map is refined with the picture's gray levels as guide (edges at the picture's resolution).
// At most maximumExtraPasses passes beyond the first. The pass's and search's exceptions pass through.
ProbabilityMap subjectMap(const UprightImage& picture, const NetworkPass& pass, const ObjectSearch& search);

// The file name of the segmentation network in the installed models folder: ISNet reduced to its
// mask output and quantised to int8 throughout, convolutions and the feature maps between them
// (isnet.onnx, its float32 original, stays beside it in the build tree for the benchmarks and tests
// that compare the two; the package leaves it out).
inline constexpr const char* isnetModelName = "isnet-int8-all.onnx";

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
