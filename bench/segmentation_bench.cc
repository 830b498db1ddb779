// The whole-image segmentation path on a 12 MP photograph: perform, scaled mask, 8-bit conversion.
//   segmentation_bench [PHOTO|""] [RUNS]
// Without PHOTO it upscales the opencv-doc sample messi5.jpg to 4000 × 3000 into a temporary JPEG.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/atomic_file.h"
#include "common/uuid.h"
#include "cutout/platform/onnx/isnet_engine.h"
#include "cutout/platform/vips/vips_image_source.h"
#include "cutout/platform/vips/vips_support.h"
#include "cutout/segmentation/foreground_request.h"
#include "cutout/segmentation/gray_mask.h"

using namespace rezoro;
using namespace rezoro::cutout;

namespace {

double peakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024.0 / (1024.0 * 1024.0);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::filesystem::path twelveMegapixelPhoto(const std::filesystem::path& source, const std::filesystem::path& target) {
  startVips();
  VipsImage* loaded = vips_image_new_from_file(source.c_str(), nullptr);
  if (loaded == nullptr) throwVipsError("cannot open " + source.string());
  const VipsImagePtr image(loaded);
  VipsImage* resized = nullptr;
  const double scale = 4000.0 / vips_image_get_width(image.get());
  if (vips_resize(image.get(), &resized, scale, "vscale", 3000.0 / vips_image_get_height(image.get()), nullptr) != 0) {
    throwVipsError("cannot upscale");
  }
  const VipsImagePtr large(resized);
  if (vips_jpegsave(large.get(), target.c_str(), "Q", 90, nullptr) != 0) throwVipsError("cannot save");
  return target;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::filesystem::path made =
        std::filesystem::temp_directory_path() / ("segmentation-bench-" + newUuidString() + ".jpg");
    const ScopedFileRemoval removal(made);
    const std::filesystem::path photo =
        argc > 1 && argv[1][0] != '\0' ? std::filesystem::path(argv[1])
                 : twelveMegapixelPhoto(std::filesystem::path(REZORO_BENCH_DEPS_DIR) / "opencv-doc/messi5.jpg", made);
    const int runs = argc > 2 ? std::atoi(argv[2]) : 4;
    std::printf("photo %s, peak RSS before %.0f MiB\n", photo.c_str(), peakRssMiB());

    IsnetEngine engine;
    const auto source = VipsImageSource::open(photo);
    if (!source) throw std::runtime_error("cannot open " + photo.string());
    const auto [width, height] = source->uprightSize();
    const ImageRequestHandler handler{ImageRequestHandler::File{*source, width, height}};
    for (int run = 1; run <= runs; ++run) {
      const auto start = std::chrono::steady_clock::now();
      const auto observation = engine.perform(configuredRequest(engine), handler);
      const double performSeconds = secondsSince(start);
      const auto scaleStart = std::chrono::steady_clock::now();
      const auto scaled = observation->generateScaledMask(observation->allInstances(), handler);
      const double scaleSeconds = secondsSince(scaleStart);
      const auto convertStart = std::chrono::steady_clock::now();
      const GrayMask mask = grayscaleMask(*scaled);
      const double convertSeconds = secondsSince(convertStart);
      std::printf("run %d%s: perform %.3f s, scaled mask %.3f s, 8-bit %.3f s, total %.3f s; %lldx%lld, "
                  "%zu instances; peak RSS %.0f MiB\n",
                  run, run == 1 ? " (loads the network)" : "", performSeconds, scaleSeconds, convertSeconds,
                  secondsSince(start), static_cast<long long>(mask.width), static_cast<long long>(mask.height),
                  observation->allInstances().size(), peakRssMiB());
    }
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "segmentation_bench: %s\n", error.what());
    return 1;
  }
}
