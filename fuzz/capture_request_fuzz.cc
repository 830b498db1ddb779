// The capture program's request loader on any file content: a request comes back or the loader
// throws a CaptureFailure; nothing else escapes.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "capture/contract/capture_failure.h"
#include "capture/contract/capture_request.h"

namespace {

const std::filesystem::path& requestFile() {
  static const std::filesystem::path file = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "rezoro-fuzz-capture-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) abort();
    return std::filesystem::path(pattern) / "request.json";
  }();
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::ofstream(requestFile(), std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  try {
    const rezoro::capture::CaptureRequest request = rezoro::capture::loadRequest(requestFile().string());
    if (request.kind != "video" && request.kind != "audio") abort();
    if (request.kind == "video" && !request.region) abort();
  } catch (const rezoro::capture::CaptureFailure&) {
  }
  return 0;
}
