// Person detection speed: one 416 × 416 network pass, and the ten-tile search of the distant-people
// recovery, on a real photo (default: the OpenCV sample messi5.jpg scaled up to 12 MP, or the
// files given on the command line).
//
//   build/bin/detector_bench [image ...]

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cutout/platform/onnx/nanodet_detector.h"
#include "cutout/platform/vips/vips_image_source.h"
#include "cutout/segmentation/human_recovery.h"
#include "cutout/segmentation/person_detection.h"

using namespace rezoro::cutout;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void measure(const std::filesystem::path& file, int64_t width, int64_t height) {
  auto source = VipsImageSource::open(file);
  if (!source) {
    std::printf("%s: cannot open\n", file.c_str());
    return;
  }
  const auto properties = source->properties();
  if (width == 0) {
    width = int64_t(*properties->pixelWidth);
    height = int64_t(*properties->pixelHeight);
    if (properties->orientation && *properties->orientation >= 5 && *properties->orientation <= 8) std::swap(width, height);
  }
  auto start = std::chrono::steady_clock::now();
  const UprightImage image = uprightImage(*source, width, height);
  std::printf("%s at %lldx%lld: decode %.3f s\n", file.filename().c_str(), (long long)width, (long long)height,
              secondsSince(start));

  NanodetDetector detector;
  const HumanRequest request = configuredHumanRequest(detector);
  const UprightImage square = *image.cropped({0, 0, double(std::min<int64_t>(416, width)), double(std::min<int64_t>(416, height))});
  detector.perform(request, square);  // loads the model
  constexpr int passes = 10;
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < passes; ++i) detector.perform(request, square);
  std::printf("  one pass on a %lldx%lld tile: %.1f ms\n", (long long)square.width, (long long)square.height,
              1000 * secondsSince(start) / passes);

  start = std::chrono::steady_clock::now();
  detector.perform(request, image);
  std::printf("  one pass on the whole %lldx%lld image (scaling included): %.1f ms\n", (long long)width,
              (long long)height, 1000 * secondsSince(start));

  start = std::chrono::steady_clock::now();
  std::vector<HumanBox> found;
  const auto tiles = humanSearchTiles(width, height);
  for (const Rect& tile : tiles) {
    const auto people = detectedPeople(image, tile, {double(width), double(height)}, detector, request);
    found.insert(found.end(), people.begin(), people.end());
  }
  const auto people = deduplicatedPeople(found);
  std::printf("  %zu-tile search: %.1f ms, %zu raw boxes, %zu people\n", tiles.size(), 1000 * secondsSince(start),
              found.size(), people.size());
  for (const HumanBox& person : people) {
    std::printf("    %.2f at (%.0f, %.0f) %.0f x %.0f\n", person.confidence, person.bounds.x, person.bounds.y,
                person.bounds.width, person.bounds.height);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) measure(argv[i], 0, 0);
    return 0;
  }
  // The sample photos that scripts/setup.sh unpacks beside the sources.
  const auto photo = std::filesystem::path(__FILE__).parent_path().parent_path() / ".deps" / "opencv-doc" / "messi5.jpg";
  measure(photo, 0, 0);
  measure(photo, 4384, 2736);
  return 0;
}
