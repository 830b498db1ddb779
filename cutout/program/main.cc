#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cutout/contract/cutout_failure.h"
#include "cutout/platform/onnx/isnet_engine.h"
#include "cutout/platform/onnx/nanodet_detector.h"
#include "cutout/platform/vips/vips_image_source.h"
#include "cutout/program/entry.h"
#include "cutout/service/pipeline.h"
#include "cutout/service/service.h"

int main(int argc, char** argv) {
  using namespace rezoro::cutout;
  // A parent that stops reading must not kill the service with its queued jobs: a write to a closed
  // output fails like any other failed write, and the exit status stays the one the mode gives.
  ::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  IsnetEngine engine;
  NanodetDetector detector;
  CutoutServices services{engine, detector, [](const std::filesystem::path& path) -> std::unique_ptr<ImageSource> {
                            return VipsImageSource::open(path);
                          }};
  const auto serveDirectory = [&](const std::filesystem::path& directory) {
    return serve(directory, STDIN_FILENO, STDOUT_FILENO, [&](const rezoro::Json& request, const PhaseCallback& phase) {
      if (!engine.isAvailable()) throw CutoutFailure::unsupportedHardware;
      return run(request, phase, services);
    });
  };
  return cutoutMain(arguments, engine, STDOUT_FILENO, serveDirectory);
}
