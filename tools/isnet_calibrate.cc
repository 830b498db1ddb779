// Measures the activation ranges of the segmentation network on photos, for its int8 quantisation.
// Runs the probe model that tools/quantize_isnet.py writes (every quantised tensor's minimum and
// maximum as extra outputs) on each photo, prepared exactly as the service prepares its input, and
// prints per tensor "name minimum maximum", the means over the photos of each photo's extremes
// (which a single outlying photo cannot stretch), then the extremes over all photos.
//
// Built by setup on its own (it needs only ONNX Runtime and libvips), and with the project as a tool:
//   isnet_calibrate PROBE.onnx SIDE PHOTO... > ranges.txt
#include <onnxruntime_cxx_api.h>
#include <vips/vips.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct ImageRelease {
  void operator()(VipsImage* image) const { g_object_unref(image); }
};
using Image = std::unique_ptr<VipsImage, ImageRelease>;

void discardLog(void*, OrtLoggingLevel, const char*, const char*, const char*, const char*) {}

// The photo squeezed to side × side, upright, flattened to RGB, as planar (value − 128) / 256.
std::vector<float> networkInput(const char* path, int side) {
  VipsImage* out = nullptr;
  if (vips_thumbnail(path, &out, side, "height", side, "size", VIPS_SIZE_FORCE, nullptr) != 0) return {};
  Image image(out);
  if (vips_image_hasalpha(image.get())) {
    if (vips_flatten(image.get(), &out, nullptr) != 0) return {};
    image.reset(out);
  }
  if (vips_colourspace(image.get(), &out, VIPS_INTERPRETATION_sRGB, nullptr) != 0) return {};
  image.reset(out);
  if (vips_cast_uchar(image.get(), &out, nullptr) != 0) return {};
  image.reset(out);
  size_t size = 0;
  std::unique_ptr<uint8_t, decltype(&g_free)> rgb(static_cast<uint8_t*>(vips_image_write_to_memory(image.get(), &size)), g_free);
  const size_t plane = static_cast<size_t>(side) * static_cast<size_t>(side);
  if (!rgb || size != plane * 3) return {};
  std::vector<float> input(3 * plane);
  for (size_t i = 0; i < plane; ++i) {
    for (size_t channel = 0; channel < 3; ++channel) {
      input[channel * plane + i] = (static_cast<float>(rgb.get()[i * 3 + channel]) - 128.0f) / 256.0f;
    }
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: isnet_calibrate PROBE.onnx SIDE PHOTO...\n");
    return 2;
  }
  if (VIPS_INIT(argv[0]) != 0) return 1;
  const int side = std::atoi(argv[2]);
  try {
    Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "calibrate", discardLog, nullptr);
    Ort::SessionOptions options;
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    Ort::Session session(env, argv[1], options);
    std::vector<std::string> names;
    std::vector<const char*> outputs;
    Ort::AllocatorWithDefaultOptions allocator;
    for (size_t i = 0; i < session.GetOutputCount(); ++i) {
      std::string name = session.GetOutputNameAllocated(i, allocator).get();
      if (name.ends_with("__min") || name.ends_with("__max")) names.push_back(std::move(name));
    }
    for (const auto& name : names) outputs.push_back(name.c_str());
    std::map<std::string, double> sums, extremes;
    int photos = 0;
    const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
    const std::string input = session.GetInputNameAllocated(0, allocator).get();
    const char* inputName = input.c_str();
    for (int i = 3; i < argc; ++i) {
      std::vector<float> pixels = networkInput(argv[i], side);
      if (pixels.empty()) {
        std::fprintf(stderr, "isnet_calibrate: cannot read %s\n", argv[i]);
        return 1;
      }
      const std::array<int64_t, 4> shape{1, 3, side, side};
      Ort::Value tensor = Ort::Value::CreateTensor<float>(memory, pixels.data(), pixels.size(), shape.data(), 4);
      auto values = session.Run(Ort::RunOptions{nullptr}, &inputName, &tensor, 1, outputs.data(), outputs.size());
      for (size_t k = 0; k < names.size(); ++k) {
        const double value = values[k].GetTensorData<float>()[0];
        sums[names[k]] += value;
        const bool isMin = names[k].ends_with("__min");
        auto [it, fresh] = extremes.try_emplace(names[k], value);
        if (!fresh) it->second = isMin ? std::min(it->second, value) : std::max(it->second, value);
      }
      ++photos;
    }
    for (const auto& [name, sum] : sums) {
      if (!name.ends_with("__min")) continue;
      const std::string tensor = name.substr(0, name.size() - 5);
      std::printf("%s %.9g %.9g %.9g %.9g\n", tensor.c_str(), sum / photos, sums[tensor + "__max"] / photos,
                  extremes[name], extremes[tensor + "__max"]);
    }
  } catch (const Ort::Exception& error) {
    std::fprintf(stderr, "isnet_calibrate: %s\n", error.what());
    return 1;
  }
  return 0;
}
