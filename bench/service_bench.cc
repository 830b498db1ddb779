// Runs many cut-out jobs through one service process and prints the per-job time, the share of the
// job spent around the network (decoding, orientation, person detection, scaling, PNG export) against
// the bare network inference measured in this same run, and the service's resident memory after the
// 10th and the last job and at its peak.
//
//   build/bin/service_bench [jobs=200] [image=a generated 12 MP JPEG] [--baseline=PROGRAM]
//   --baseline: another build of rezoro-cutout (today's, say) in a service of its own, one job of it
//   after each job of this build's, so that both see the same machine; its median and the ratio are printed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/cutout_service_client.h"
#include "common/atomic_file.h"
#include "cutout/platform/onnx/isnet_engine.h"
#include "cutout/platform/onnx/onnx_model.h"
#include "cutout/platform/vips/vips_support.h"

namespace fs = std::filesystem;
using rezoro::bench::Clock;
using rezoro::bench::seconds;

namespace {

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
  return values[index];
}

// The bare network: one inference at the model's input side, as the engine runs it, without decoding
// or masks.
double rawInferenceSeconds(rezoro::cutout::OnnxModel& model, int64_t side) {
  // Varied values, like a photo's: constant input would spare the network work a real image costs.
  const auto size = static_cast<size_t>(3 * side * side);
  uint32_t state = 12345;
  const auto next = [&state] { return state = state * 1664525u + 1013904223u; };
  std::vector<uint8_t> pixels;
  std::vector<float> planes;
  if (model.takesBytes()) {
    pixels.resize(size);
    for (uint8_t& value : pixels) value = static_cast<uint8_t>(next() >> 24);
  } else {
    planes.resize(size);
    for (float& value : planes) value = static_cast<float>(next() >> 8) / 16777216.0f - 0.5f;
  }
  const auto start = Clock::now();
  if (model.takesBytes()) {
    model.run("input", std::span<const uint8_t>(pixels), std::vector<int64_t>{1, side, side, 3}, {"output"});
  } else {
    model.run("input", planes, std::vector<int64_t>{1, 3, side, side}, {"output"});
  }
  return seconds(Clock::now() - start);
}

// A 12 MP (4000 × 3000) JPEG made from a sample photo: the size of a phone camera's pictures.
void writeTwelveMegapixelJpeg(const fs::path& source, const fs::path& target) {
  using rezoro::cutout::throwVipsError;
  rezoro::cutout::startVips();
  const rezoro::cutout::VipsImagePtr image(vips_image_new_from_file(source.c_str(), nullptr));
  if (!image) throwVipsError("cannot open " + source.string());
  VipsImage* resized = nullptr;
  if (vips_resize(image.get(), &resized, 4000.0 / vips_image_get_width(image.get()), "vscale",
                  3000.0 / vips_image_get_height(image.get()), nullptr) != 0) {
    throwVipsError("cannot upscale");
  }
  const rezoro::cutout::VipsImagePtr large(resized);
  if (vips_jpegsave(large.get(), target.c_str(), "Q", 90, nullptr) != 0) throwVipsError("cannot save");
}

}  // namespace

int main(int argc, char** argv) try {
  std::vector<std::string> positional;
  fs::path baseline;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.starts_with("--baseline=")) {
      baseline = fs::absolute(arg.substr(11));
    } else {
      positional.push_back(arg);
    }
  }
  const int jobs = !positional.empty() ? std::max(1, std::atoi(positional[0].c_str())) : 200;
  const fs::path binDir = rezoro::cutout::executableDirectory();
  const fs::path made = fs::temp_directory_path() / ("rezoro-service-bench-" + rezoro::newUuidString() + ".jpg");
  const rezoro::ScopedFileRemoval removal(made);
  fs::path image;
  if (positional.size() > 1) {
    image = fs::absolute(positional[1]);
  } else {
    writeTwelveMegapixelJpeg(fs::path(REZORO_BENCH_DEPS_DIR) / "opencv-doc/messi5.jpg", made);
    image = made;
  }
  if (!fs::exists(image)) {
    std::fprintf(stderr, "no image at %s\n", image.c_str());
    return 1;
  }

  // The bare network runs here once after each job, so that a machine whose load changes during
  // the run slows both figures alike.
  std::vector<double> raw;
  rezoro::cutout::OnnxModel model(rezoro::cutout::installedModelPath(rezoro::cutout::isnetModelName));
  const int64_t side = model.squareInputSide().value_or(rezoro::cutout::isnetSide);
  rawInferenceSeconds(model, side);  // the first run pays for lazy set-up

  std::vector<double> jobSeconds;
  std::vector<double> inferenceSeconds;
  long rssAfter10 = -1, rssAfterLast = -1, rssPeak = -1;
  std::vector<double> baselineSeconds;
  long baselinePeak = -1;
  rezoro::Json lastResult;
  {
    rezoro::bench::CutoutService service(binDir / "rezoro-cutout");
    std::unique_ptr<rezoro::bench::CutoutService> other;
    if (!baseline.empty()) other = std::make_unique<rezoro::bench::CutoutService>(baseline);
    for (int job = 1; job <= jobs; ++job) {
      const auto answer = service.job({{"kind", "native_cutout"},
                                       {"path", image.string()},
                                       {"destination", (service.dir() / "mask.png").string()}});
      if (answer.response.value("ok", false) != true) {
        std::fprintf(stderr, "job %d failed: %s\n", job, answer.response.dump().c_str());
        return 1;
      }
      jobSeconds.push_back(answer.seconds);
      raw.push_back(rawInferenceSeconds(model, side));
      if (other) {
        const auto base = other->job({{"kind", "native_cutout"},
                                      {"path", image.string()},
                                      {"destination", (other->dir() / "mask.png").string()}});
        if (base.response.value("ok", false) != true) {
          std::fprintf(stderr, "baseline job %d failed: %s\n", job, base.response.dump().c_str());
          return 1;
        }
        baselineSeconds.push_back(base.seconds);
        if (job == jobs) baselinePeak = rezoro::bench::residentKiB(other->pid(), "VmHWM");
      }
      inferenceSeconds.push_back(answer.response["result"]["inference_seconds"].get<double>());
      lastResult = answer.response["result"];
      if (job == 10) rssAfter10 = rezoro::bench::residentKiB(service.pid());
      if (job == jobs) {
        rssAfterLast = rezoro::bench::residentKiB(service.pid());
        rssPeak = rezoro::bench::residentKiB(service.pid(), "VmHWM");
      }
    }
  }

  // The first job loads the network; steady state is what a long-lived service sees.
  const std::vector<double> steady(jobSeconds.begin() + (jobs > 1 ? 1 : 0), jobSeconds.end());
  const double median = percentile(steady, 0.5);
  const double rawMedian = percentile(raw, 0.5);
  std::printf("image                 %s\n", image.c_str());
  std::printf("model                 %s (%lldx%lld input)\n", rezoro::cutout::isnetModelName,
              static_cast<long long>(side), static_cast<long long>(side));
  std::printf("jobs                  %d (first job, with model load: %.3f s)\n", jobs, jobSeconds.front());
  // What a job did besides the whole-image pass: person detection and crop passes cost time too.
  std::printf("recovery              %s, %lld detection pass(es), %lld crop pass(es)\n",
              lastResult.value("recovery_mode", std::string("?")).c_str(),
              static_cast<long long>(lastResult.value("human_detection_passes", int64_t{0})),
              static_cast<long long>(lastResult.value("foreground_crop_passes", int64_t{0})));
  std::printf("job time median       %.3f s\n", median);
  std::printf("job time p95          %.3f s\n", percentile(steady, 0.95));
  std::printf("inference_seconds     %.3f s median (as reported by the service)\n", percentile(inferenceSeconds, 0.5));
  std::printf("raw network median    %.3f s (same run, this process, once after each job)\n", rawMedian);
  std::printf("around the network    %.1f %% of the job (goal <= 5 %%)\n", (1.0 - rawMedian / median) * 100.0);
  if (rssAfter10 > 0) std::printf("RSS after job 10      %.1f MiB\n", static_cast<double>(rssAfter10) / 1024.0);
  std::printf("RSS after job %-3d     %.1f MiB\n", jobs, static_cast<double>(rssAfterLast) / 1024.0);
  std::printf("peak RSS              %.1f MiB (goal <= 600 MiB)\n", static_cast<double>(rssPeak) / 1024.0);
  if (!baselineSeconds.empty()) {
    const std::vector<double> steadyBaseline(baselineSeconds.begin() + (jobs > 1 ? 1 : 0), baselineSeconds.end());
    const double baselineMedian = percentile(steadyBaseline, 0.5);
    std::printf("baseline job median   %.3f s (%s, same run); this build x%.2f\n", baselineMedian, baseline.c_str(),
                median / baselineMedian);
    std::printf("baseline peak RSS     %.1f MiB\n", static_cast<double>(baselinePeak) / 1024.0);
  }
  if (jobs >= 10 && rssAfter10 > 0) {
    std::printf("RSS growth            %.2f %%\n",
                (static_cast<double>(rssAfterLast) / static_cast<double>(rssAfter10) - 1.0) * 100.0);
  }
  return 0;
} catch (const std::exception& error) {
  std::fprintf(stderr, "service_bench: %s\n", error.what());
  return 1;
}
