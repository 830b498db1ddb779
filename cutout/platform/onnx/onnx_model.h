#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace rezoro::cutout {

// Thrown when the runtime or a model cannot be loaded or run.
class OnnxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The process-wide runtime environment, created on first use with its logger silenced (the parent
// reads only our JSON). Throws OnnxError when the runtime library cannot set itself up.
Ort::Env& onnxEnvironment();

// Where a model runs. CUDA is asked for only when the runtime lists its provider.
enum class OnnxDevice { cpu, cuda };

// Where a model's tensors come from. The process-wide arena keeps one run's peak of a large
// fixed-size network paged in; a small network allocates per run, so that its tensors never split
// the large network's arena blocks (which slows the large network's next run by about a tenth).
enum class OnnxMemory { sharedArena, perRun };

// One ONNX model in ONNX Runtime, set up for a long-lived service that runs one job at a time: all
// cores for one operator and no spin-waiting (an idle service uses no CPU).
class OnnxModel {
 public:
  // Loads the model file. Throws OnnxError when the file is missing or the runtime refuses it.
  explicit OnnxModel(const std::filesystem::path& path, OnnxDevice device = OnnxDevice::cpu,
                     OnnxMemory memory = OnnxMemory::sharedArena);

  // Runs the model on one float32 (or 8-bit) input tensor and returns the requested outputs, in
  // order. Throws OnnxError on a type or shape mismatch or any runtime failure.
  std::vector<Ort::Value> run(const char* inputName, std::span<const float> input,
                              std::span<const int64_t> shape,
                              const std::vector<const char*>& outputNames);
  std::vector<Ort::Value> run(const char* inputName, std::span<const uint8_t> input,
                              std::span<const int64_t> shape,
                              const std::vector<const char*>& outputNames);

  // Whether the first input is 8-bit pixels, N × height × width × channels; otherwise it is float32
  // planes, N × C × height × width.
  bool takesBytes() const;

  // The side of the first input when the model fixes it as a square of that side (in the layout
  // above); empty when the model leaves those dimensions open or they differ.
  std::optional<int64_t> squareInputSide() const;

 private:
  Ort::Session session_{nullptr};
  Ort::MemoryInfo memory_{nullptr};
  bool takesBytes_ = false;  // read from the model once, when it is loaded
};

// The folder holding the running executable (from /proc/self/exe).
std::filesystem::path executableDirectory();

// The folder of the model files for a program in `executableDirectory`: share/rezoro/models of the
// prefix it is installed in (bin/../share/rezoro/models) when that folder exists, otherwise the
// "models" folder beside it (a build tree).
std::filesystem::path modelDirectory(const std::filesystem::path& executableDirectory);

// Where the model file `name` is for the running program.
std::filesystem::path installedModelPath(const std::string& name);

}  // namespace rezoro::cutout
