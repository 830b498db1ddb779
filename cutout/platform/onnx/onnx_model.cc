#include "cutout/platform/onnx/onnx_model.h"

#include <algorithm>
#include <thread>

namespace rezoro::cutout {
namespace {

void discardLog(void*, OrtLoggingLevel, const char*, const char*, const char*, const char*) {}

}  // namespace

Ort::Env& onnxEnvironment() {
  static Ort::Env environment = [] {
    try {
      Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "rezoro", discardLog, nullptr);
      // One CPU arena for every session, growing only by what is asked of it. The networks run on
      // fixed input sizes, so after the first run it holds exactly one run's peak and serves every
      // later run from memory already paged in; fresh allocations per run page-fault hundreds of
      // megabytes each time and double the run time.
      const Ort::MemoryInfo cpu = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
      const Ort::ArenaCfg sameAsRequested(0, /*kSameAsRequested*/ 1, -1, -1);
      env.CreateAndRegisterAllocator(cpu, sameAsRequested);
      return env;
    } catch (const Ort::Exception& error) {
      throw OnnxError(error.what());
    }
  }();
  return environment;
}

OnnxModel::OnnxModel(const std::filesystem::path& path, OnnxDevice device, OnnxMemory memory) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) throw OnnxError("model file missing: " + path.string());
  try {
    Ort::SessionOptions options;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    options.SetIntraOpNumThreads(static_cast<int>(cores));
    options.SetInterOpNumThreads(1);
    options.SetExecutionMode(ORT_SEQUENTIAL);
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    if (memory == OnnxMemory::sharedArena) {
      // One tensor at a time from the shared arena: a planned block per run would add its own
      // copy of the peak on top of the arena.
      options.AddConfigEntry("session.use_env_allocators", "1");
      options.DisableMemPattern();
    } else {
      options.DisableCpuMemArena();
    }
    options.AddConfigEntry("session.intra_op.allow_spinning", "0");
    options.AddConfigEntry("session.inter_op.allow_spinning", "0");
    if (device == OnnxDevice::cuda) options.AppendExecutionProvider_CUDA(OrtCUDAProviderOptions{});
    session_ = Ort::Session(onnxEnvironment(), path.c_str(), options);
    memory_ = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
    takesBytes_ = session_.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetElementType() ==
                  ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8;
  } catch (const Ort::Exception& failure) {
    throw OnnxError(failure.what());
  }
}

namespace {

template <typename Element>
std::vector<Ort::Value> runOnTensor(Ort::Session& session, const Ort::MemoryInfo& memory, const char* inputName,
                                    std::span<const Element> input, std::span<const int64_t> shape,
                                    const std::vector<const char*>& outputNames) {
  try {
    // The runtime only reads the input; the const_cast is the C API's signature, not a write.
    Ort::Value tensor = Ort::Value::CreateTensor<Element>(memory, const_cast<Element*>(input.data()), input.size(),
                                                          shape.data(), shape.size());
    return session.Run(Ort::RunOptions{nullptr}, &inputName, &tensor, 1, outputNames.data(), outputNames.size());
  } catch (const Ort::Exception& failure) {
    throw OnnxError(failure.what());
  }
}

}  // namespace

std::vector<Ort::Value> OnnxModel::run(const char* inputName, std::span<const float> input,
                                       std::span<const int64_t> shape,
                                       const std::vector<const char*>& outputNames) {
  return runOnTensor(session_, memory_, inputName, input, shape, outputNames);
}

std::vector<Ort::Value> OnnxModel::run(const char* inputName, std::span<const uint8_t> input,
                                       std::span<const int64_t> shape,
                                       const std::vector<const char*>& outputNames) {
  return runOnTensor(session_, memory_, inputName, input, shape, outputNames);
}

bool OnnxModel::takesBytes() const { return takesBytes_; }

std::optional<int64_t> OnnxModel::squareInputSide() const {
  try {
    const std::vector<int64_t> shape = session_.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    if (shape.size() != 4) return std::nullopt;
    const size_t rows = takesBytes_ ? 1 : 2;
    if (shape[rows] > 0 && shape[rows] == shape[rows + 1]) return shape[rows];
    return std::nullopt;
  } catch (const Ort::Exception& failure) {
    throw OnnxError(failure.what());
  }
}

std::filesystem::path executableDirectory() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path(".") : executable.parent_path();
}

std::filesystem::path modelDirectory(const std::filesystem::path& executableDirectory) {
  const auto installed = executableDirectory.parent_path() / "share" / "rezoro" / "models";
  std::error_code error;
  if (std::filesystem::is_directory(installed, error)) return installed;
  return executableDirectory / "models";
}

std::filesystem::path installedModelPath(const std::string& name) {
  return modelDirectory(executableDirectory()) / name;
}

}  // namespace rezoro::cutout
