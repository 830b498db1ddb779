// Mask PNG encoding at several zlib levels, on the ISNet mask of a photograph scaled to the largest
// mask the program accepts (8000 × 8000), to choose the export's level.
//   segmentation_export_bench
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "common/atomic_file.h"
#include "common/unique_fd.h"
#include "common/uuid.h"
#include "cutout/platform/onnx/isnet_engine.h"
#include "cutout/platform/vips/vips_image_source.h"
#include "cutout/platform/vips/vips_support.h"
#include "cutout/segmentation/foreground_request.h"
#include "cutout/segmentation/gray_mask.h"
#include "cutout/segmentation/mask_export.h"

using namespace rezoro;
using namespace rezoro::cutout;

namespace {

// CPU time of this thread: the machine is shared, so wall time alone says little.
double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main() {
  try {
    const auto directory = std::filesystem::temp_directory_path();
    IsnetEngine engine;
    const std::filesystem::path photo = std::filesystem::path(REZORO_BENCH_DEPS_DIR) / "opencv-doc/messi5.jpg";
    const auto source = VipsImageSource::open(photo);
    if (!source) throw std::runtime_error("cannot open " + photo.string());
    const auto [width, height] = source->uprightSize();
    const auto observation = engine.perform(configuredRequest(engine), {ImageRequestHandler::File{*source, width, height}});
    // The scaled mask takes its size from the handler.
    const auto scaled = observation->generateScaledMask(observation->allInstances(), {ImageRequestHandler::File{*source, 8000, 8000}});
    const GrayMask mask = grayscaleMask(*scaled);

    const std::filesystem::path output = directory / ("export-bench-" + newUuidString() + ".png");
    const ScopedFileRemoval outputRemoval(output);
    for (const auto filter : {PngRowFilter::adaptive, PngRowFilter::up}) {
      for (const int level : {1, 3, 6, 9}) {
        const UniqueFd file(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = threadCpuSeconds();
        if (!writeGrayPng(file.get(), mask, level, filter)) throw std::runtime_error("encoding failed");
        const double cpu = threadCpuSeconds() - cpuStart;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        struct stat status{};
        ::fstat(file.get(), &status);
        std::printf("%s filter, level %d: %.3f s (CPU %.3f s), %.2f MiB\n",
                    filter == PngRowFilter::up ? "up" : "adaptive", level, seconds, cpu,
                    static_cast<double>(status.st_size) / (1 << 20));
      }
    }
    const auto start = std::chrono::steady_clock::now();
    exportGrayscaleMask(mask, output);
    std::printf("exportGrayscaleMask (level %d, with sync and rename): %.3f s\n", maskPngCompressionLevel,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "segmentation_export_bench: %s\n", error.what());
    return 1;
  }
}
