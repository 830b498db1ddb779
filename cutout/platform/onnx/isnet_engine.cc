#include "cutout/platform/onnx/isnet_engine.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "cutout/platform/onnx/onnx_model.h"
#include "cutout/segmentation/probability_map.h"
#include "cutout/platform/vips/vips_support.h"
#include "cutout/segmentation/edge_refinement.h"

namespace rezoro::cutout {
namespace {

// The network, loaded once per model file and device for the life of the process.
std::shared_ptr<OnnxModel> sharedNetwork(const std::filesystem::path& path, bool onGpu) {
  static std::mutex guard;
  static std::map<std::pair<std::string, bool>, std::shared_ptr<OnnxModel>> networks;
  const std::lock_guard lock(guard);
  auto& network = networks[{path.string(), onGpu}];
  if (!network) network = std::make_shared<OnnxModel>(path, onGpu ? OnnxDevice::cuda : OnnxDevice::cpu);
  return network;
}

// An upright picture in memory squeezed to the network's square, as packed RGB.
std::vector<uint8_t> squeezedPixels(const UprightImage& image, int64_t side) {
  startVips();
  if (image.width < 1 || image.height < 1 ||
      image.rgb.size() != static_cast<size_t>(image.width * image.height * 3)) {
    throw VipsError("the in-memory image is empty or inconsistent");
  }
  VipsImagePtr source(vips_image_new_from_memory(image.rgb.data(), image.rgb.size(), static_cast<int>(image.width),
                                                 static_cast<int>(image.height), 3, VIPS_FORMAT_UCHAR));
  if (!source) throwVipsError("cannot wrap the in-memory image");
  source->Type = VIPS_INTERPRETATION_sRGB;
  // The same Lanczos resize a thumbnail of the image would make, without a thumbnail's colour
  // management and conversions, which an 8-bit RGB image in memory does not need.
  VipsImage* out = nullptr;
  if (vips_resize(source.get(), &out, double(side) / double(image.width), "vscale", double(side) / double(image.height),
                  nullptr) != 0) {
    throwVipsError("cannot resize the in-memory image");
  }
  const VipsImagePtr squeezed(out);
  size_t size = 0;
  const auto pixels = pixelsOf(squeezed.get(), size);
  if (size != static_cast<size_t>(side * side * 3)) throw VipsError("unexpected decoded size");
  return {pixels.get(), pixels.get() + size};
}

// The file's picture, upright, reduced to at most `longSide` pixels on its longer side (never
// enlarged), decoded through the job's image source.
UprightImage workingPicture(const ImageRequestHandler::File& file, int64_t longSide) {
  const double scale = std::min(1.0, double(longSide) / double(std::max(file.width, file.height)));
  const int64_t width = std::max<int64_t>(1, std::llround(double(file.width) * scale));
  const int64_t height = std::max<int64_t>(1, std::llround(double(file.height) * scale));
  std::optional<UprightImage> picture = file.source.get().uprightThumbnail(width, height);
  if (!picture || picture->width != width || picture->height != height ||
      picture->rgb.size() != size_t(width) * size_t(height) * 3) {
    throw VipsError("cannot decode the picture");
  }
  return std::move(*picture);
}

// Planar channels centred on zero, as the network was trained: (value − 128) / 256.
std::vector<float> networkInput(const std::vector<uint8_t>& rgb) {
  const size_t plane = rgb.size() / 3;
  std::vector<float> input(3 * plane);
  for (size_t i = 0; i < plane; ++i) {
    for (size_t channel = 0; channel < 3; ++channel) {
      input[channel * plane + i] = (static_cast<float>(rgb[i * 3 + channel]) - 128.0f) / 256.0f;
    }
  }
  return input;
}

// One pass of the network over `image` (any size, squeezed into its square input): its map at the
// network's side. A quantised network reads the squeezed pixels as they are.
ProbabilityMap networkMap(OnnxModel& network, int64_t side, const UprightImage& image) {
  const std::vector<uint8_t> pixels = squeezedPixels(image, side);
  std::vector<Ort::Value> outputs =
      network.takesBytes()
          ? network.run("input", std::span<const uint8_t>(pixels), std::array<int64_t, 4>{1, side, side, 3}, {"output"})
          : network.run("input", networkInput(pixels), std::array<int64_t, 4>{1, 3, side, side}, {"output"});
  const auto info = outputs.at(0).GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT ||
      info.GetElementCount() != static_cast<size_t>(side * side)) {
    throw OnnxError("unexpected segmentation output");
  }
  const float* values = outputs.at(0).GetTensorData<float>();
  return {side, side, std::vector<float>(values, values + side * side)};
}

class IsnetObservation : public InstanceMaskObservation {
 public:
  IsnetObservation(ProbabilityMap map, InstanceLabels labels, std::shared_ptr<const UprightImage> picture = nullptr)
      : map_(std::move(map)), labels_(std::move(labels)), picture_(std::move(picture)) {
    for (int32_t instance = 1; instance <= labels_.count; ++instance) instances_.insert(instance);
  }

  const std::set<int64_t>& allInstances() const override { return instances_; }
  std::shared_ptr<const UprightImage> analysedPicture() const override { return picture_; }

  std::unique_ptr<PixelBuffer> generateScaledMask(const std::set<int64_t>& instances,
                                                  const ImageRequestHandler& handler) const override {
    if (instances.empty() || !std::includes(instances_.begin(), instances_.end(), instances.begin(), instances.end())) {
      return nullptr;
    }
    const auto [width, height] = uprightSize(handler);
    if (instances == instances_) return scaledCoverage(map_, width, height);
    // A subset keeps only the chosen regions; the soft edges around them belong to no region.
    ProbabilityMap chosen = map_;
    for (size_t i = 0; i < chosen.values.size(); ++i) {
      if (!instances.contains(labels_.labels[i])) chosen.values[i] = 0;
    }
    return scaledCoverage(chosen, width, height);
  }

 private:
  ProbabilityMap map_;
  InstanceLabels labels_;
  std::shared_ptr<const UprightImage> picture_;
  std::set<int64_t> instances_;
};

}  // namespace

IsnetEngine::IsnetEngine() : IsnetEngine(installedModelPath(isnetModelName)) {}

IsnetEngine::IsnetEngine(std::filesystem::path modelPath) : modelPath_(std::move(modelPath)) {}

bool IsnetEngine::isAvailable() {
  const OrtApiBase* base = OrtGetApiBase();
  if (base == nullptr || base->GetApi(ORT_API_VERSION) == nullptr) return false;
  std::error_code error;
  return std::filesystem::is_regular_file(modelPath_, error) && ::access(modelPath_.c_str(), R_OK) == 0;
}

ComputeStageDevices IsnetEngine::supportedComputeStageDevices() {
  const std::vector<std::string> providers = Ort::GetAvailableProviders();
  std::vector<ComputeDevice> main{{ComputeDeviceKind::cpu, 0}};
  if (std::find(providers.begin(), providers.end(), "CUDAExecutionProvider") != providers.end()) {
    main.insert(main.begin(), {ComputeDeviceKind::gpu, 0});
  }
  // Instances and scaling run on the CPU whatever runs the network.
  return {{ComputeStage::main, main}, {ComputeStage::postProcessing, {{ComputeDeviceKind::cpu, 0}}}};
}

std::unique_ptr<InstanceMaskObservation> IsnetEngine::perform(const ForegroundRequest& request,
                                                              const ImageRequestHandler& handler) {
  const auto device = request.computeDevices.find(ComputeStage::main);
  const bool onGpu = device != request.computeDevices.end() && device->second.kind == ComputeDeviceKind::gpu;
  const std::shared_ptr<OnnxModel> network = sharedNetwork(modelPath_, onGpu);
  const int64_t side = network->squareInputSide().value_or(isnetSide);
  if (const auto* file = std::get_if<ImageRequestHandler::File>(&handler.image)) {
    auto picture = std::make_shared<const UprightImage>(workingPicture(*file, workingSide));
    ProbabilityMap map = resampledMap(networkMap(*network, side, *picture), picture->width, picture->height);
    refineEdges(map, *picture, edgeReach(picture->width, picture->height));
    InstanceLabels labels = keepInstances(map, minimumInstanceArea(map.width, map.height));
    // After the specks are dropped, so that their soft rims go with them.
    clearDetachedTails(map);
    return std::make_unique<IsnetObservation>(std::move(map), std::move(labels), std::move(picture));
  }
  const auto& image = std::get<std::shared_ptr<const UprightImage>>(handler.image);
  if (!image) throw VipsError("no in-memory image");
  ProbabilityMap map = networkMap(*network, side, *image);
  InstanceLabels labels = keepInstances(map, minimumInstanceArea(side, side));
  return std::make_unique<IsnetObservation>(std::move(map), std::move(labels));
}

int64_t edgeReach(int64_t width, int64_t height) {
  return std::max<int64_t>(2, std::llround(edgeReachInNetworkPixels * double(std::max(width, height)) / double(isnetSide)));
}

std::pair<int64_t, int64_t> uprightSize(const ImageRequestHandler& handler) {
  if (const auto* image = std::get_if<std::shared_ptr<const UprightImage>>(&handler.image)) {
    if (!*image) throw VipsError("no in-memory image");
    return {(*image)->width, (*image)->height};
  }
  const auto& file = std::get<ImageRequestHandler::File>(handler.image);
  return {file.width, file.height};
}

}  // namespace rezoro::cutout
