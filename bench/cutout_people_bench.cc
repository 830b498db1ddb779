// People in real photos: does the cut-out keep every person the person detector finds, and what else
// does it keep? On OpenCV's basketball1.png, basketball2.png, messi5.jpg and a few frames of vtest.avi
// (taken with ffmpeg into a temporary folder at run time), per photo: every person the detector finds
// at a score of 0.5 or more (on the whole picture and on the search tiles of the service's recovery of
// distant people, duplicates merged as the service merges them), the share of the person's box that
// each program's mask holds at 128, and the share of the mask that lies outside every person box.
//
// A person counts as kept when the mask holds at least 0.2 of the box. A whole standing figure fills
// 0.33 to 0.45 of a box drawn tight around it (the photographed people among the quality set's
// subjects, by their alpha), and the detector's boxes are no tighter; 0.2 is about half a figure, so
// a person below it has lost most of the body, and one below 0.05 is missed. The box is grown by 5 %
// of its size on each side before the mask outside every box is counted: hands, feet and hair reach
// past a detector's box.
//
//   build/bin/cutout_people_bench [--baseline=PROGRAM]... [--frames=N] [PHOTO...]
//   --baseline: another build of rezoro-cutout, run in a service of its own beside this build's;
//   --frames: how many frames of vtest.avi (3 by default, spread over the film); PHOTO: other
//   photos, checked in place of the default ones.
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/cutout_service_client.h"
#include "cutout/platform/onnx/nanodet_detector.h"
#include "cutout/platform/onnx/onnx_model.h"
#include "cutout/platform/vips/vips_image_source.h"
#include "cutout/platform/vips/vips_support.h"
#include "cutout/segmentation/human_recovery.h"
#include "cutout/segmentation/person_detection.h"

namespace fs = std::filesystem;
using namespace rezoro::cutout;

extern char** environ;

namespace {

constexpr float minimumScore = 0.5f;
constexpr double keptCoverage = 0.2, missedCoverage = 0.05;
constexpr double boxGrowth = 0.05;
// Boxes that end this close to a tile side inside the picture show a person the tile cuts; the
// tile that holds the whole person finds them again.
constexpr double tileBorder = 2;

// Runs a program with its arguments and waits for it; true when it exits with status 0.
bool run(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The people the detector finds at minimumScore or more on the whole picture and on the service's
// search tiles, in the picture's pixels, duplicates merged.
std::vector<HumanBox> peopleIn(const UprightImage& image, NanodetDetector& detector) {
  const Rect whole{0, 0, double(image.width), double(image.height)};
  std::vector<HumanBox> found;
  for (const Rect& tile : humanSearchTiles(image.width, image.height)) {
    const Rect pixels = Rect{std::floor(tile.minX()), std::floor(tile.minY()), std::ceil(tile.maxX()) - std::floor(tile.minX()),
                             std::ceil(tile.maxY()) - std::floor(tile.minY())}
                            .intersection(whole);
    if (pixels.isEmpty()) continue;
    const bool all = pixels == whole;
    const std::optional<UprightImage> cut = all ? std::nullopt : image.cropped(pixels);
    if (!all && !cut) continue;
    for (const DetectedObject& object : detector.objects(cut ? *cut : image, minimumScore)) {
      if (object.classIndex != 0) continue;
      const Rect box{pixels.x + object.bounds.x, pixels.y + object.bounds.y, object.bounds.width, object.bounds.height};
      if ((box.minX() - pixels.minX() < tileBorder && pixels.minX() > 0) ||
          (pixels.maxX() - box.maxX() < tileBorder && pixels.maxX() < whole.width) ||
          (box.minY() - pixels.minY() < tileBorder && pixels.minY() > 0) ||
          (pixels.maxY() - box.maxY() < tileBorder && pixels.maxY() < whole.height)) {
        continue;
      }
      found.push_back({box.intersection(whole), object.score});
    }
  }
  return deduplicatedPeople(std::move(found));
}

// The mask's bytes (one per pixel, upright), or nothing when it is missing or not the photo's size.
std::vector<uint8_t> maskBytes(const fs::path& file, int64_t width, int64_t height) {
  VipsImagePtr mask(vips_image_new_from_file(file.c_str(), nullptr));
  if (!mask || vips_image_get_width(mask.get()) != width || vips_image_get_height(mask.get()) != height ||
      vips_image_get_bands(mask.get()) != 1) {
    return {};
  }
  size_t size = 0;
  const auto bytes = pixelsOf(mask.get(), size);
  return {bytes.get(), bytes.get() + size};
}

// The whole pixels of `box` inside a picture of `width` × `height`: x0, y0, x1, y1.
std::array<int64_t, 4> pixelsOfBox(const Rect& box, int64_t width, int64_t height) {
  return {std::clamp<int64_t>(std::llround(box.minX()), 0, width), std::clamp<int64_t>(std::llround(box.minY()), 0, height),
          std::clamp<int64_t>(std::llround(box.maxX()), 0, width), std::clamp<int64_t>(std::llround(box.maxY()), 0, height)};
}

// The share of `box` that the mask holds at 128.
double coverage(const std::vector<uint8_t>& mask, int64_t width, int64_t height, const Rect& box) {
  if (mask.empty()) return 0;
  const auto [x0, y0, x1, y1] = pixelsOfBox(box, width, height);
  int64_t held = 0;
  for (int64_t y = y0; y < y1; ++y) {
    for (int64_t x = x0; x < x1; ++x) held += mask[static_cast<size_t>(y * width + x)] >= 128;
  }
  const int64_t area = (x1 - x0) * (y1 - y0);
  return area == 0 ? 0 : double(held) / double(area);
}

struct Outside {
  int64_t pixels = 0;  // mask pixels at 128 outside every grown box
  int64_t mask = 0;    // mask pixels at 128
};

Outside outsidePeople(const std::vector<uint8_t>& mask, int64_t width, int64_t height, const std::vector<HumanBox>& people) {
  Outside outside;
  if (mask.empty()) return outside;
  std::vector<uint8_t> inBox(mask.size(), 0);
  for (const HumanBox& person : people) {
    const Rect& b = person.bounds;
    const Rect grown{b.x - boxGrowth * b.width, b.y - boxGrowth * b.height, b.width * (1 + 2 * boxGrowth),
                     b.height * (1 + 2 * boxGrowth)};
    const auto [x0, y0, x1, y1] = pixelsOfBox(grown, width, height);
    for (int64_t y = y0; y < y1; ++y) std::fill_n(inBox.begin() + y * width + x0, x1 - x0, 1);
  }
  for (size_t i = 0; i < mask.size(); ++i) {
    const bool held = mask[i] >= 128;
    outside.mask += held;
    outside.pixels += held && !inBox[i];
  }
  return outside;
}

const char* verdict(double share) { return share >= keptCoverage ? "kept" : share >= missedCoverage ? "partly" : "MISSED"; }

struct Program {
  std::string label;
  fs::path path;
  size_t kept = 0, partly = 0, missed = 0;
  double outsideShares = 0;  // summed over photos, for the mean
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<Program> programs;
  std::vector<fs::path> photos;
  int frames = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.starts_with("--baseline=")) {
      const fs::path program = fs::absolute(arg.substr(11));
      programs.push_back({rezoro::bench::programLabel(program), program});
    } else if (arg.starts_with("--frames=")) {
      frames = std::max(0, std::atoi(arg.c_str() + 9));
    } else {
      photos.push_back(fs::absolute(arg));
    }
  }
  programs.insert(programs.begin(), Program{"this build", executableDirectory() / "rezoro-cutout"});

  startVips();
  const fs::path work = fs::temp_directory_path() / ("rezoro-cutout-people-bench-" + rezoro::newUuidString());
  fs::create_directories(work);
  int status = 0;
  try {
    if (photos.empty()) {
      const fs::path samples = fs::path(REZORO_BENCH_DEPS_DIR) / "opencv-doc";
      photos = {samples / "basketball1.png", samples / "basketball2.png", samples / "messi5.jpg"};
      // vtest.avi is 79.5 s long: frames spread over it, away from its ends.
      for (int f = 0; f < frames; ++f) {
        const int second = 5 + 70 * f / std::max(1, frames - 1);
        const fs::path frame = work / ("vtest-" + std::to_string(second) + "s.png");
        if (!run({"ffmpeg", "-nostdin", "-loglevel", "error", "-ss", std::to_string(second), "-i",
                  (samples / "vtest.avi").string(), "-frames:v", "1", frame.string()})) {
          throw std::runtime_error("ffmpeg could not take a frame of vtest.avi");
        }
        photos.push_back(frame);
      }
    }
    std::vector<std::unique_ptr<rezoro::bench::CutoutService>> services;
    for (const Program& program : programs) services.push_back(std::make_unique<rezoro::bench::CutoutService>(program.path));
    NanodetDetector detector;

    std::printf("people the detector finds at %.1f or more, and the share of each one's box the mask holds at 128 "
                "(kept >= %.2f, partly >= %.2f, else MISSED); programs:", minimumScore, keptCoverage, missedCoverage);
    for (const Program& program : programs) std::printf(" %s;", program.label.c_str());
    std::printf("\n");
    for (const fs::path& photo : photos) {
      auto source = VipsImageSource::open(photo);
      const auto properties = source ? source->properties() : std::nullopt;
      if (!properties || !properties->pixelWidth || !properties->pixelHeight) throw std::runtime_error("cannot open " + photo.string());
      int64_t width = int64_t(*properties->pixelWidth), height = int64_t(*properties->pixelHeight);
      if (properties->orientation && *properties->orientation >= 5 && *properties->orientation <= 8) std::swap(width, height);
      const std::vector<HumanBox> people = peopleIn(uprightImage(*source, width, height), detector);

      std::vector<std::vector<uint8_t>> masks;
      for (size_t s = 0; s < services.size(); ++s) {
        const fs::path mask = work / ("mask-" + std::to_string(s) + ".png");
        const auto answer = services[s]->job({{"kind", "native_cutout"}, {"path", photo.string()}, {"destination", mask.string()}});
        const bool ok = answer.response.value("ok", false);
        if (!ok && answer.response.value("error_code", "") != "no_foreground") {
          throw std::runtime_error(programs[s].label + " failed on " + photo.string() + ": " + answer.response.dump());
        }
        masks.push_back(ok ? maskBytes(mask, width, height) : std::vector<uint8_t>{});
        std::error_code ignored;
        fs::remove(mask, ignored);
      }

      std::printf("\n%s (%lld x %lld): %zu people\n", photo.filename().c_str(), static_cast<long long>(width),
                  static_cast<long long>(height), people.size());
      for (const HumanBox& person : people) {
        std::printf("  %.2f at (%4.0f, %4.0f) %4.0f x %4.0f:", person.confidence, person.bounds.x, person.bounds.y,
                    person.bounds.width, person.bounds.height);
        for (size_t s = 0; s < programs.size(); ++s) {
          const double share = coverage(masks[s], width, height, person.bounds);
          std::printf("  %.2f %-6s", share, verdict(share));
          Program& program = programs[s];
          (share >= keptCoverage ? program.kept : share >= missedCoverage ? program.partly : program.missed) += 1;
        }
        std::printf("\n");
      }
      std::printf("  mask outside every person box (grown by %.0f %%), of the mask and of the picture:", 100 * boxGrowth);
      for (size_t s = 0; s < programs.size(); ++s) {
        const Outside outside = outsidePeople(masks[s], width, height, people);
        const double share = outside.mask == 0 ? 0 : double(outside.pixels) / double(outside.mask);
        programs[s].outsideShares += share;
        std::printf("  %.1f %% (%.1f %%)", 100 * share, 100 * double(outside.pixels) / double(width * height));
      }
      std::printf("\n");
    }
    std::printf("\nper program: people kept, partly, missed; mean share of the mask outside every person box\n");
    for (const Program& program : programs) {
      std::printf("  %-34s %zu, %zu, %zu; %.1f %%\n", program.label.c_str(), program.kept, program.partly, program.missed,
                  100 * program.outsideShares / double(photos.size()));
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "cutout_people_bench: %s\n", error.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(work, ignored);
  return status;
}
