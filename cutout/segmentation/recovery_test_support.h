#pragma once

// Fakes for the tests of person detection and recovery. Their images carry each pixel's own
// coordinates, so that a fake service handed a crop or a tile knows where it was cut from.

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "cutout/segmentation/foreground_engine.h"
#include "cutout/segmentation/gray_mask.h"
#include "cutout/segmentation/image_source.h"
#include "cutout/segmentation/person_detector.h"

namespace rezoro::cutout::testing {

// An image (up to 4096 × 4096) whose pixel (x, y) holds x and y in its three bytes.
inline UprightImage coordinateImage(int64_t width, int64_t height) {
  UprightImage image{width, height, std::vector<uint8_t>(size_t(width * height * 3))};
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      uint8_t* pixel = image.rgb.data() + (y * width + x) * 3;
      pixel[0] = uint8_t(x & 0xff);
      pixel[1] = uint8_t(y & 0xff);
      pixel[2] = uint8_t(((x >> 8) & 0xf) | (((y >> 8) & 0xf) << 4));
    }
  }
  return image;
}

// Where the image's top-left pixel came from in a coordinate image.
inline std::pair<int64_t, int64_t> originOf(const UprightImage& image) {
  const uint8_t* pixel = image.rgb.data();
  return {pixel[0] | ((pixel[2] & 0xf) << 8), pixel[1] | ((pixel[2] >> 4) << 8)};
}

// A zero mask with foreground (255) in the rectangle [x0, x1) × [y0, y1).
inline GrayMask maskWithBlock(int64_t width, int64_t height, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  GrayMask mask{width, height, std::vector<uint8_t>(size_t(width * height), 0)};
  for (int64_t y = y0; y < y1; ++y) {
    for (int64_t x = x0; x < x1; ++x) mask.bytes[size_t(y * width + x)] = 255;
  }
  return mask;
}

// A segmentation service that "finds" a fixed full-image scene mask: each crop gets the part of the
// scene it was cut from, as an 8-bit buffer, with one instance.
class SceneEngine : public ForegroundEngine {
 public:
  explicit SceneEngine(GrayMask scene) : scene_(std::move(scene)) {}

  int performs = 0;
  std::function<void()> beforePerform;  // may throw, to play a failing service
  // The value of the scene's background in the crop of the given pass (1, 2, ...).
  std::function<uint8_t(int)> background = [](int) { return uint8_t{0}; };

  bool isAvailable() override { return true; }
  ComputeStageDevices supportedComputeStageDevices() override {
    return {{ComputeStage::main, {ComputeDevice{ComputeDeviceKind::cpu, 0}}}};
  }
  std::unique_ptr<InstanceMaskObservation> perform(const ForegroundRequest&, const ImageRequestHandler& handler) override {
    ++performs;
    if (beforePerform) beforePerform();
    const auto& crop = std::get<std::shared_ptr<const UprightImage>>(handler.image);
    const auto [x0, y0] = originOf(*crop);
    auto buffer = std::make_unique<PixelBuffer>(crop->width, crop->height, PixelFormat::oneComponent8);
    const uint8_t haze = background(performs);
    for (int64_t y = 0; y < crop->height; ++y) {
      for (int64_t x = 0; x < crop->width; ++x) {
        buffer->row(y)[x] = std::max(haze, scene_.bytes[size_t((y0 + y) * scene_.width + x0 + x)]);
      }
    }
    return std::make_unique<Observation>(std::move(buffer));
  }

 private:
  class Observation : public InstanceMaskObservation {
   public:
    explicit Observation(std::unique_ptr<PixelBuffer> buffer) : buffer_(std::move(buffer)) {}
    const std::set<int64_t>& allInstances() const override { return instances_; }
    std::unique_ptr<PixelBuffer> generateScaledMask(const std::set<int64_t>&, const ImageRequestHandler&) const override {
      auto copy = std::make_unique<PixelBuffer>(buffer_->width(), buffer_->height(), PixelFormat::oneComponent8);
      for (int64_t y = 0; y < buffer_->height(); ++y) {
        std::copy_n(buffer_->baseAddress() + y * int64_t(buffer_->bytesPerRow()), buffer_->width(), copy->row(y));
      }
      return copy;
    }

   private:
    std::unique_ptr<PixelBuffer> buffer_;
    std::set<int64_t> instances_{1};
  };

  GrayMask scene_;
};

// A person detector that answers every image with what `answer` says for it.
class ScriptedDetector : public PersonDetector {
 public:
  std::function<std::vector<HumanObservation>(const UprightImage&)> answer;
  std::function<ComputeStageDevices()> devices = [] {
    return ComputeStageDevices{{ComputeStage::main, {ComputeDevice{ComputeDeviceKind::cpu, 0}}}};
  };
  std::vector<std::pair<int64_t, int64_t>> seenOrigins;
  std::vector<std::pair<int64_t, int64_t>> seenSizes;

  ComputeStageDevices supportedComputeStageDevices() override { return devices(); }
  std::vector<HumanObservation> perform(const HumanRequest&, const UprightImage& image) override {
    seenOrigins.push_back(originOf(image));
    seenSizes.emplace_back(image.width, image.height);
    return answer ? answer(image) : std::vector<HumanObservation>{};
  }
};

// An image source that decodes to a given image, whatever size is asked for.
class FixedImageSource : public ImageSource {
 public:
  explicit FixedImageSource(UprightImage image) : image_(std::move(image)) {}
  std::optional<ImageProperties> properties() override {
    return ImageProperties{double(image_.width), double(image_.height), std::nullopt};
  }
  std::optional<UprightImage> uprightThumbnail(int64_t, int64_t) override { return image_; }

 private:
  UprightImage image_;
};

}  // namespace rezoro::cutout::testing
