// Mask quality and speed of the cut-out service, one line per segmentation model, on a quality set
// with exact ground truth: photographed subjects with alpha channels (Tux Paint stamps, unpacked by
// setup) composited onto the OpenCV sample photos. Some photos are stored turned, with an EXIF
// orientation that turns them back; the ground truth is the subject's alpha in upright pixels.
//
// Each model runs in its own copy of the real service (the program copied into a private folder
// whose models/ holds that model under the service's model name); the services take turns job by
// job, so a busy machine slows every model alike.
//
//   build/bin/cutout_quality_bench [photos=0 (all)] [model files in build/bin/models...]
//   (default models: isnet.onnx, the float32 1024 × 1024 network, and the service's own model)
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "bench/cutout_service_client.h"
#include "cutout/platform/onnx/isnet_engine.h"
#include "cutout/platform/onnx/onnx_model.h"
#include "cutout/platform/vips/vips_support.h"

namespace fs = std::filesystem;
using rezoro::cutout::VipsImagePtr;
using rezoro::cutout::throwVipsError;

namespace {

// Backgrounds: scenes without a subject of their own, so that the stamp is the only foreground.
constexpr const char* backgroundNames[] = {"building.jpg", "home.jpg",   "graf1.png",        "aero1.jpg",
                                           "leuvenA.jpg",  "board.jpg",  "stuff.jpg",        "aloeL.jpg",
                                           "starry_night.jpg", "fruits.jpg", "baboon.jpg"};

struct Photo {
  std::string name;
  fs::path path;
  bool person = false;
  int orientation = 1;
  std::vector<uint8_t> truth;  // upright, 255 = foreground
  int64_t width = 0, height = 0;
};

VipsImagePtr checked(VipsImage* image, int result, const std::string& what) {
  if (result != 0) throwVipsError(what);
  return VipsImagePtr(image);
}

// Composites stamp `index` onto a background and writes the photo; the truth is kept in memory.
Photo makePhoto(const fs::path& stamp, size_t index, const fs::path& backgrounds, const fs::path& dir) {
  constexpr int orientations[] = {6, 8, 3};
  Photo photo;
  photo.name = stamp.stem().string();
  photo.person = photo.name.starts_with("people_") || photo.name.find("paratrooper") != std::string::npos;
  photo.orientation = index % 7 == 3 ? orientations[(index / 7) % 3] : 1;
  const bool portrait = index % 3 == 1;
  photo.width = portrait ? 1200 : 1600;
  photo.height = portrait ? 1600 : 1200;
  const auto w = static_cast<int>(photo.width), h = static_cast<int>(photo.height);

  VipsImage* out = nullptr;
  const fs::path background = backgrounds / backgroundNames[index % std::size(backgroundNames)];
  int r = vips_thumbnail(background.c_str(), &out, w, "height", h, "crop", VIPS_INTERESTING_CENTRE, nullptr);
  VipsImagePtr base = checked(out, r, "background " + background.string());
  r = vips_colourspace(base.get(), &out, VIPS_INTERPRETATION_sRGB, nullptr);
  base = checked(out, r, "background colour");

  VipsImagePtr subject(vips_image_new_from_file(stamp.c_str(), nullptr));
  if (!subject) throwVipsError("stamp " + stamp.string());
  r = vips_colourspace(subject.get(), &out, VIPS_INTERPRETATION_sRGB, nullptr);
  subject = checked(out, r, "stamp colour");
  // The subject fills 45 % to 85 % of the shorter side, at a place that varies from photo to photo.
  const double fill = 0.45 + 0.4 * static_cast<double>((index * 37) % 11) / 10.0;
  const double scale = fill * std::min(w, h) / std::max(vips_image_get_width(subject.get()),
                                                        vips_image_get_height(subject.get()));
  r = vips_resize(subject.get(), &out, scale, nullptr);
  subject = checked(out, r, "stamp resize");
  const int sw = vips_image_get_width(subject.get()), sh = vips_image_get_height(subject.get());
  const int x = static_cast<int>((w - sw) * ((index * 53) % 10) / 9), y = static_cast<int>((h - sh) * ((index * 29) % 10) / 9);
  r = vips_embed(subject.get(), &out, x, y, w, h, "extend", VIPS_EXTEND_BLACK, nullptr);
  const VipsImagePtr placed = checked(out, r, "stamp placement");

  r = vips_composite2(base.get(), placed.get(), &out, VIPS_BLEND_MODE_OVER, nullptr);
  VipsImagePtr composite = checked(out, r, "composite");
  r = vips_extract_band(composite.get(), &out, 0, "n", 3, nullptr);
  composite = checked(out, r, "composite bands");
  r = vips_cast_uchar(composite.get(), &out, nullptr);
  composite = checked(out, r, "composite depth");

  r = vips_extract_band(placed.get(), &out, 3, nullptr);
  VipsImagePtr alpha = checked(out, r, "alpha");
  r = vips_moreeq_const1(alpha.get(), &out, 128, nullptr);
  alpha = checked(out, r, "truth");
  size_t size = 0;
  const auto truth = rezoro::cutout::pixelsOf(alpha.get(), size);
  photo.truth.assign(truth.get(), truth.get() + size);

  // Stored turned the other way, so that the orientation tag turns it upright again.
  if (photo.orientation != 1) {
    const VipsAngle angle = photo.orientation == 6 ? VIPS_ANGLE_D270 : photo.orientation == 8 ? VIPS_ANGLE_D90 : VIPS_ANGLE_D180;
    r = vips_rot(composite.get(), &out, angle, nullptr);
    composite = checked(out, r, "rotation");
    vips_image_set_int(composite.get(), VIPS_META_ORIENTATION, photo.orientation);
  }
  photo.path = dir / (photo.name + ".jpg");
  if (vips_jpegsave(composite.get(), photo.path.c_str(), "Q", 92, nullptr) != 0) throwVipsError("jpegsave");
  return photo;
}

// Intersection over union of the foreground (>= 128) of a mask PNG and the truth.
double iou(const fs::path& maskPath, const Photo& photo) {
  VipsImagePtr mask(vips_image_new_from_file(maskPath.c_str(), nullptr));
  if (!mask) throwVipsError("mask");
  if (vips_image_get_width(mask.get()) != photo.width || vips_image_get_height(mask.get()) != photo.height) return 0;
  size_t size = 0;
  const auto bytes = rezoro::cutout::pixelsOf(mask.get(), size);
  if (size != photo.truth.size()) return 0;
  int64_t both = 0, either = 0;
  for (size_t i = 0; i < size; ++i) {
    const bool found = bytes[i] >= 128, truth = photo.truth[i] >= 128;
    both += found && truth;
    either += found || truth;
  }
  return either == 0 ? 1.0 : static_cast<double>(both) / static_cast<double>(either);
}

// A private copy of the service whose model slot holds `model`.
fs::path serviceWithModel(const fs::path& binDir, const fs::path& model, const fs::path& dir) {
  fs::create_directories(dir / "models");
  fs::copy_file(binDir / "rezoro-cutout", dir / "rezoro-cutout");
  fs::create_directory_symlink(fs::canonical(binDir / "lib"), dir / "lib");
  for (const auto& entry : fs::directory_iterator(binDir / "models")) {
    if (entry.path().filename() != rezoro::cutout::isnetModelName) {
      fs::create_symlink(fs::canonical(entry.path()), dir / "models" / entry.path().filename());
    }
  }
  fs::create_symlink(fs::canonical(model), dir / "models" / rezoro::cutout::isnetModelName);
  return dir / "rezoro-cutout";
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double mean(const std::vector<double>& values) {
  return values.empty() ? 0 : std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

struct Results {
  std::string model;
  std::vector<double> iou, jobSeconds, inferenceSeconds, personIou, turnedIou;
  long peakRssKiB = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const size_t limit = argc > 1 && std::atoi(argv[1]) > 0 ? static_cast<size_t>(std::atoi(argv[1])) : SIZE_MAX;
  const fs::path binDir = rezoro::cutout::executableDirectory();
  const fs::path deps = REZORO_BENCH_DEPS_DIR;
  std::vector<fs::path> models;
  for (int i = 2; i < argc; ++i) models.push_back(binDir / "models" / argv[i]);
  if (models.empty()) {
    models = {binDir / "models" / "isnet.onnx", binDir / "models" / rezoro::cutout::isnetModelName};
    if (fs::equivalent(models[0], models[1])) models.pop_back();
  }
  std::vector<fs::path> stamps;
  if (fs::is_directory(deps / "quality-stamps")) {
    for (const auto& entry : fs::directory_iterator(deps / "quality-stamps")) {
      if (entry.path().extension() == ".png") stamps.push_back(entry.path());
    }
  }
  if (stamps.empty()) {
    std::fprintf(stderr, "no quality stamps in %s: run scripts/setup.sh\n", (deps / "quality-stamps").c_str());
    return 1;
  }
  std::sort(stamps.begin(), stamps.end());
  stamps.resize(std::min(stamps.size(), limit));

  rezoro::cutout::startVips();
  const fs::path work = fs::temp_directory_path() / ("rezoro-cutout-quality-bench-" + rezoro::newUuidString());
  fs::create_directories(work / "photos");
  int status = 0;
  try {
    std::vector<Photo> photos;
    for (size_t i = 0; i < stamps.size(); ++i) photos.push_back(makePhoto(stamps[i], i, deps / "opencv-doc", work / "photos"));

    std::vector<Results> results;
    std::vector<std::unique_ptr<rezoro::bench::CutoutService>> services;
    for (size_t m = 0; m < models.size(); ++m) {
      const auto program = serviceWithModel(binDir, models[m], work / ("service-" + std::to_string(m)));
      services.push_back(std::make_unique<rezoro::bench::CutoutService>(program));
      results.push_back({models[m].filename().string(), {}, {}, {}, {}, {}, 0});
    }
    for (size_t p = 0; p <= photos.size(); ++p) {
      // Photo 0 runs twice: first to load the network, which is not counted.
      const Photo& photo = photos[p == 0 ? 0 : p - 1];
      for (size_t m = 0; m < services.size(); ++m) {
        const fs::path mask = work / ("mask-" + std::to_string(m) + ".png");
        const auto answer = services[m]->job({{"kind", "native_cutout"}, {"path", photo.path.string()},
                                               {"destination", mask.string()}});
        // A photo where the service finds no subject scores 0; any other failure ends the run.
        const bool missed = answer.response.value("error_code", "") == "no_foreground";
        if (answer.response.value("ok", false) != true && !missed) {
          std::fprintf(stderr, "%s failed on %s: %s\n", results[m].model.c_str(), photo.name.c_str(),
                       answer.response.dump().c_str());
          return 1;
        }
        if (p == 0) continue;
        const double score = missed ? 0.0 : iou(mask, photo);
        results[m].iou.push_back(score);
        if (photo.person) results[m].personIou.push_back(score);
        if (photo.orientation != 1) results[m].turnedIou.push_back(score);
        results[m].jobSeconds.push_back(answer.seconds);
        if (!missed) results[m].inferenceSeconds.push_back(answer.response["result"]["inference_seconds"].get<double>());
      }
    }
    for (size_t m = 0; m < services.size(); ++m) results[m].peakRssKiB = rezoro::bench::residentKiB(services[m]->pid(), "VmHWM");
    services.clear();

    size_t people = 0, turned = 0;
    for (const auto& photo : photos) {
      people += photo.person;
      turned += photo.orientation != 1;
    }
    std::printf("quality set: %zu photos (%zu of people, %zu stored turned with an EXIF orientation)\n",
                photos.size(), people, turned);
    std::printf("%-22s %9s %9s %8s %9s %9s %10s %10s %9s\n", "model", "mean IoU", "median", ">=0.9", "people",
                "turned", "job (med)", "network", "peak RSS");
    for (const auto& r : results) {
      const double share = static_cast<double>(std::count_if(r.iou.begin(), r.iou.end(), [](double v) { return v >= 0.9; })) /
                           static_cast<double>(r.iou.size());
      std::printf("%-22s %9.4f %9.4f %7.1f%% %9.4f %9.4f %9.3fs %9.3fs %6.0f MiB\n", r.model.c_str(), mean(r.iou),
                  median(r.iou), share * 100, mean(r.personIou), mean(r.turnedIou), median(r.jobSeconds),
                  median(r.inferenceSeconds), static_cast<double>(r.peakRssKiB) / 1024.0);
    }
    for (size_t m = 1; m < results.size(); ++m) {
      std::printf("%s against %s: job time x%.2f, mean IoU %+.4f\n", results[m].model.c_str(), results[0].model.c_str(),
                  median(results[m].jobSeconds) / median(results[0].jobSeconds), mean(results[m].iou) - mean(results[0].iou));
    }
    std::printf("IoU per photo, models in the order above:\n");
    for (size_t p = 0; p < photos.size(); ++p) {
      std::printf("  %-44s", (photos[p].name + (photos[p].orientation != 1 ? " (turned)" : "")).c_str());
      for (const auto& r : results) std::printf(" %.3f", r.iou[p]);
      std::printf("\n");
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "cutout_quality_bench: %s\n", error.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(work, ignored);
  return status;
}
