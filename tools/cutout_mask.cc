// Runs the foreground segmentation on one image (turned upright by its own orientation) and writes
// its mask as a PNG, for a person to look at:
//   cutout_mask IMAGE MASK.png
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "cutout/contract/cutout_failure.h"
#include "cutout/platform/onnx/isnet_engine.h"
#include "cutout/platform/vips/vips_image_source.h"
#include "cutout/segmentation/foreground_request.h"
#include "cutout/segmentation/gray_mask.h"
#include "cutout/segmentation/mask_export.h"

using namespace rezoro::cutout;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s IMAGE MASK.png\n", argv[0]);
    return 2;
  }
  try {
    IsnetEngine engine;
    const auto source = VipsImageSource::open(argv[1]);
    if (!source) {
      std::fprintf(stderr, "%s: not an image this program reads\n", argv[1]);
      return 1;
    }
    const auto [width, height] = source->uprightSize();
    const ImageRequestHandler handler{ImageRequestHandler::File{*source, width, height}};
    const auto start = std::chrono::steady_clock::now();
    const auto observation = engine.perform(configuredRequest(engine), handler);
    const auto performed = std::chrono::steady_clock::now();
    if (!observation || observation->allInstances().empty()) {
      std::printf("no foreground instances\n");
      return 1;
    }
    const auto scaled = observation->generateScaledMask(observation->allInstances(), handler);
    if (!scaled) {
      std::printf("no scaled mask\n");
      return 1;
    }
    const GrayMask mask = grayscaleMask(*scaled);
    const auto converted = std::chrono::steady_clock::now();
    exportGrayscaleMask(mask, argv[2]);
    const auto exported = std::chrono::steady_clock::now();
    const MaskStatistics statistics = maskStatistics(mask);
    const auto seconds = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
    std::printf("%lldx%lld, %zu instances, foreground %.1f%%%s\n", static_cast<long long>(mask.width),
                static_cast<long long>(mask.height), observation->allInstances().size(),
                100.0 * static_cast<double>(statistics.foregroundCount) / static_cast<double>(mask.bytes.size()),
                statistics.isDegenerate ? " (degenerate)" : "");
    std::printf("perform %.3f s, scale+convert %.3f s, export %.3f s\n", seconds(start, performed),
                seconds(performed, converted), seconds(converted, exported));
    return 0;
  } catch (CutoutFailure failure) {
    std::fprintf(stderr, "%s\n", std::string(rawValue(failure)).c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
  }
  return 1;
}
