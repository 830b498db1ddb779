#include "cutout/platform/onnx/nanodet_detector.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "cutout/platform/onnx/onnx_model.h"
#include "cutout/platform/vips/vips_support.h"

namespace rezoro::cutout {
namespace {

constexpr int personClass = 0;
// Reported candidates; callers apply their own, higher, confidence threshold.
constexpr float reportedScore = 0.3f;
constexpr double overlapSuppression = 0.6;
constexpr size_t maximumObservations = 100;
// The network was trained on BGR pixels normalised with these per-channel values.
constexpr std::array<float, 3> bgrMean{103.53f, 116.28f, 123.675f};
constexpr std::array<float, 3> bgrStd{57.375f, 57.12f, 58.395f};

OnnxModel& sharedModel() {
  // Process-wide and loaded on first use; a failed load is retried by the next detection.
  static std::unique_ptr<OnnxModel> model;
  if (!model) model = std::make_unique<OnnxModel>(installedModelPath("nanodet.onnx"), OnnxDevice::cpu, OnnxMemory::perRun);
  return *model;
}

// The image scaled by the same factor on both axes so that it fits 416 × 416; its pixels are
// returned with the scaled size. vips box-shrinks large images first, so the linear kernel loses no
// detections against the default Lanczos one and scales a 12 MP image about three times faster.
std::vector<uint8_t> fittedPixels(const UprightImage& image, int& width, int& height) {
  const double scale = std::min(double(nanodetInputSize) / double(image.width),
                                double(nanodetInputSize) / double(image.height));
  width = std::clamp(int(std::lround(double(image.width) * scale)), 1, nanodetInputSize);
  height = std::clamp(int(std::lround(double(image.height) * scale)), 1, nanodetInputSize);
  if (width == image.width && height == image.height) return image.rgb;
  startVips();
  VipsImagePtr in(vips_image_new_from_memory(
      image.rgb.data(), image.rgb.size(), int(image.width), int(image.height), 3, VIPS_FORMAT_UCHAR));
  VipsImage* resized = nullptr;
  const int failed = !in ? -1
                         : vips_resize(in.get(), &resized, double(width) / double(image.width), "vscale",
                                       double(height) / double(image.height), "kernel", VIPS_KERNEL_LINEAR, nullptr);
  VipsImagePtr out(resized);
  vips_error_clear();
  if (failed != 0) throw VipsError("cannot scale the image for person detection");
  // vips rounds the scaled size itself; take what it made, within the input.
  width = std::min(out->Xsize, nanodetInputSize);
  height = std::min(out->Ysize, nanodetInputSize);
  std::vector<uint8_t> pixels(size_t(out->Xsize) * size_t(out->Ysize) * 3);
  VipsImagePtr target(
      vips_image_new_from_memory(pixels.data(), pixels.size(), out->Xsize, out->Ysize, 3, VIPS_FORMAT_UCHAR));
  const bool written = target && vips_image_write(out.get(), target.get()) == 0;
  vips_error_clear();
  if (!written) throw VipsError("cannot scale the image for person detection");
  if (out->Xsize != width) {
    std::vector<uint8_t> packed(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y) {
      std::copy_n(pixels.data() + size_t(y) * size_t(out->Xsize) * 3, size_t(width) * 3,
                  packed.data() + size_t(y) * size_t(width) * 3);
    }
    return packed;
  }
  pixels.resize(size_t(width) * size_t(height) * 3);
  return pixels;
}

double overlap(const std::array<float, 4>& a, const std::array<float, 4>& b) {
  const double w = std::max(0.0f, std::min(a[2], b[2]) - std::max(a[0], b[0]));
  const double h = std::max(0.0f, std::min(a[3], b[3]) - std::max(a[1], b[1]));
  const double shared = w * h;
  const double areaA = double(a[2] - a[0]) * double(a[3] - a[1]);
  const double areaB = double(b[2] - b[0]) * double(b[3] - b[1]);
  const double total = areaA + areaB - shared;
  return total > 0 ? shared / total : 0;
}

// The expected distance of one side's softmax distribution, in cells.
double expectedDistance(std::span<const float> bins) {
  const float top = *std::max_element(bins.begin(), bins.end());
  double sum = 0, weighted = 0;
  for (size_t i = 0; i < bins.size(); ++i) {
    const double e = std::exp(double(bins[i] - top));
    sum += e;
    weighted += e * double(i);
  }
  return weighted / sum;
}

}  // namespace

namespace {

struct Candidate {
  int classIndex;
  float score;
  std::array<float, 4> box;  // x0, y0, x1, y1 in input pixels
};

// The candidates of one pass of at least `minimumScore`: of class `onlyClass`, or of each cell's
// best class when it is negative; suppressed and ordered as the public decoders promise.
std::vector<Candidate> decodedCandidates(const NanodetOutputs& outputs, int contentWidth, int contentHeight,
                                         float minimumScore, int onlyClass) {
  std::vector<Candidate> candidates;
  for (size_t level = 0; level < nanodetStrides.size(); ++level) {
    const int stride = nanodetStrides[level];
    const int grid = nanodetInputSize / stride;
    const auto scores = outputs.scores[level];
    const auto boxes = outputs.boxes[level];
    for (int cell = 0; cell < grid * grid; ++cell) {
      const auto cellScores = scores.subspan(size_t(cell) * nanodetClasses, nanodetClasses);
      const int classIndex = onlyClass >= 0 ? onlyClass
                                            : int(std::max_element(cellScores.begin(), cellScores.end()) - cellScores.begin());
      const float score = cellScores[size_t(classIndex)];
      if (!(score >= minimumScore)) continue;
      const double cx = (cell % grid + 0.5) * stride, cy = (cell / grid + 0.5) * stride;
      std::array<double, 4> distance{};
      for (size_t side = 0; side < 4; ++side) {
        distance[side] = expectedDistance(boxes.subspan((size_t(cell) * 4 + side) * nanodetBins, nanodetBins)) * stride;
      }
      const auto clampX = [&](double v) { return float(std::clamp(v, 0.0, double(contentWidth))); };
      const auto clampY = [&](double v) { return float(std::clamp(v, 0.0, double(contentHeight))); };
      const std::array<float, 4> box{clampX(cx - distance[0]), clampY(cy - distance[1]), clampX(cx + distance[2]),
                                     clampY(cy + distance[3])};
      if (box[2] > box[0] && box[3] > box[1]) candidates.push_back({classIndex, score, box});
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
  std::vector<Candidate> kept;
  for (const Candidate& candidate : candidates) {
    if (kept.size() == maximumObservations) break;
    if (std::none_of(kept.begin(), kept.end(),
                     [&](const Candidate& k) { return overlap(k.box, candidate.box) > overlapSuppression; })) {
      kept.push_back(candidate);
    }
  }
  return kept;
}

}  // namespace

std::vector<HumanObservation> nanodetPeople(const NanodetOutputs& outputs, int contentWidth, int contentHeight,
                                            float minimumScore) {
  std::vector<HumanObservation> observations;
  for (const Candidate& k : decodedCandidates(outputs, contentWidth, contentHeight, minimumScore, personClass)) {
    observations.push_back({k.score, Rect{k.box[0], k.box[1], k.box[2] - k.box[0], k.box[3] - k.box[1]}});
  }
  return observations;
}

std::vector<DetectedObject> nanodetObjects(const NanodetOutputs& outputs, int contentWidth, int contentHeight,
                                           float minimumScore) {
  std::vector<DetectedObject> objects;
  for (const Candidate& k : decodedCandidates(outputs, contentWidth, contentHeight, minimumScore, -1)) {
    objects.push_back({k.classIndex, k.score, Rect{k.box[0], k.box[1], k.box[2] - k.box[0], k.box[3] - k.box[1]}});
  }
  return objects;
}

ComputeStageDevices NanodetDetector::supportedComputeStageDevices() {
  return {{ComputeStage::main, {ComputeDevice{ComputeDeviceKind::cpu, 0}}}};
}

namespace {

// One pass of the network over `image`, fitted into its input; `run` receives the decoded outputs
// and the picture's size inside the input.
template <typename Decode>
auto nanodetPass(const UprightImage& image, Decode&& decode) {
  if (image.width < 1 || image.height < 1 ||
      image.rgb.size() != size_t(image.width) * size_t(image.height) * 3) {
    throw OnnxError("person detection needs a non-empty RGB image");
  }
  OnnxModel& model = sharedModel();
  int width = 0, height = 0;
  const std::vector<uint8_t> pixels = fittedPixels(image, width, height);
  constexpr size_t plane = size_t(nanodetInputSize) * nanodetInputSize;
  // Zero is the normalised mean: the padding outside the picture is neutral.
  std::vector<float> input(3 * plane, 0.0f);
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = pixels.data() + size_t(y) * size_t(width) * 3;
    for (int x = 0; x < width; ++x) {
      const size_t at = size_t(y) * nanodetInputSize + size_t(x);
      for (size_t channel = 0; channel < 3; ++channel) {
        // Planes are B, G, R; the pixels are R, G, B.
        input[channel * plane + at] = (float(row[size_t(x) * 3 + 2 - channel]) - bgrMean[channel]) / bgrStd[channel];
      }
    }
  }
  static constexpr std::array<int64_t, 4> shape{1, 3, nanodetInputSize, nanodetInputSize};
  const std::vector<const char*> names{"scores_8", "scores_16", "scores_32", "boxes_8", "boxes_16", "boxes_32"};
  const std::vector<Ort::Value> values = model.run("input", input, shape, names);
  NanodetOutputs outputs;
  for (size_t level = 0; level < nanodetStrides.size(); ++level) {
    const size_t cells = plane / size_t(nanodetStrides[level] * nanodetStrides[level]);
    const auto& scores = values[level];
    const auto& boxes = values[level + 3];
    if (scores.GetTensorTypeAndShapeInfo().GetElementCount() != cells * nanodetClasses ||
        boxes.GetTensorTypeAndShapeInfo().GetElementCount() != cells * 4 * nanodetBins) {
      throw OnnxError("the person detection model gave outputs of an unexpected shape");
    }
    outputs.scores[level] = {scores.GetTensorData<float>(), cells * nanodetClasses};
    outputs.boxes[level] = {boxes.GetTensorData<float>(), cells * 4 * nanodetBins};
  }
  return decode(outputs, width, height);
}

// A box in the input's pixels, of a picture that filled width × height of it, in the image's pixels.
Rect inImagePixels(const Rect& box, const UprightImage& image, int width, int height) {
  const double sx = double(image.width) / width, sy = double(image.height) / height;
  return {box.x * sx, box.y * sy, box.width * sx, box.height * sy};
}

}  // namespace

std::vector<HumanObservation> NanodetDetector::perform(const HumanRequest&, const UprightImage& image) {
  return nanodetPass(image, [&](const NanodetOutputs& outputs, int width, int height) {
    std::vector<HumanObservation> people = nanodetPeople(outputs, width, height, reportedScore);
    for (HumanObservation& person : people) person.bounds = inImagePixels(person.bounds, image, width, height);
    return people;
  });
}

std::vector<DetectedObject> NanodetDetector::objects(const UprightImage& image, float minimumScore) {
  return nanodetPass(image, [&](const NanodetOutputs& outputs, int width, int height) {
    std::vector<DetectedObject> objects = nanodetObjects(outputs, width, height, minimumScore);
    for (DetectedObject& object : objects) object.bounds = inImagePixels(object.bounds, image, width, height);
    return objects;
  });
}

}  // namespace rezoro::cutout
