#include "cutout/service/pipeline.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "cutout/contract/cutout_failure.h"
#include "cutout/segmentation/foreground_request.h"
#include "cutout/segmentation/gray_mask.h"
#include "cutout/segmentation/human_recovery.h"
#include "cutout/segmentation/mask_export.h"
#include "cutout/segmentation/person_detection.h"
#include "cutout/service/file_checks.h"
#include "cutout/service/input_snapshot.h"

namespace rezoro::cutout {
namespace {

namespace fs = std::filesystem;

double uptimeSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int64_t peakResidentBytes() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<int64_t>(usage.ru_maxrss) * 1024;  // Linux reports KiB
}

// The string under `key` when it is a non-empty string without NUL characters.
std::optional<std::string> pathValue(const Json& request, const char* key) {
  const auto it = request.find(key);
  if (it == request.end() || !it->is_string()) return std::nullopt;
  const auto& text = it->get_ref<const std::string&>();
  if (text.empty() || text.find('\0') != std::string::npos) return std::nullopt;
  return text;
}

// The path with every symbolic link resolved as far as the path exists.
fs::path resolvedPath(const fs::path& path) {
  std::error_code error;
  const fs::path resolved = fs::weakly_canonical(path, error);
  return error ? path : resolved;
}

// Orientation 1..8 from a header value; anything else is upright.
int orientationOf(const std::optional<double>& value) {
  if (!value || !std::isfinite(*value)) return 1;
  const auto unsignedValue = static_cast<uint32_t>(static_cast<int64_t>(std::trunc(*value)));
  return unsignedValue >= 1 && unsignedValue <= 8 ? static_cast<int>(unsignedValue) : 1;
}

// Runs `body`, passing a CutoutFailure through and turning every other error into nativeFailure.
template <typename Body>
auto nativeStep(Body&& body) {
  try {
    return body();
  } catch (const CutoutFailure) {
    throw;
  } catch (...) {
    throw CutoutFailure::nativeFailure;
  }
}

struct MaskOutcome {
  std::array<int64_t, 2> maskSize{};
  int64_t instanceCount = 0;
  std::string recoveryMode = "none";
  int64_t detectionPasses = 0;
  int64_t recoveredPeople = 0;
  int64_t cropPasses = 0;
  std::string recoveryError;
};

// The long side of the picture the missed-people check detects on: the person detector's 416-pixel
// input, into which it scales every picture anyway. A reduced decode finds the same people for a
// fraction of a full-size decode's time and memory (a 12 MP JPEG is decoded at an eighth of its
// scale); the full size is decoded only for a recovery's crops.
constexpr double personSearchSide = 416;

// The picture's size reduced to fit personSearchSide, never enlarged.
std::pair<int64_t, int64_t> personSearchSize(int64_t width, int64_t height) {
  const double scale = std::min(1.0, personSearchSide / static_cast<double>(std::max(width, height)));
  return {std::max<int64_t>(1, std::llround(static_cast<double>(width) * scale)),
          std::max<int64_t>(1, std::llround(static_cast<double>(height) * scale))};
}

// Looks for a large person who lies almost wholly outside a small whole-image subject and, when
// there is one, recovers every detected person from crops. The search looks at the picture the
// segmentation analysed when there is one (the detector scales it to its input; no second decode),
// otherwise at a reduced decode. Returns the recovered mask, or nothing when there is nothing to
// recover. Every failure is recorded in `outcome` instead of thrown.
std::optional<RecoveredMask> recoverMissedPeople(const GrayMask& gray, int64_t foregroundCount,
                                                 ImageSource& source, const UprightImage* analysed,
                                                 CutoutServices& services, MaskOutcome& outcome) {
  const double width = static_cast<double>(gray.width), height = static_cast<double>(gray.height);
  const double imageArea = width * height;
  try {
    UprightImage decoded;
    if (!analysed) {
      const auto [searchWidth, searchHeight] = personSearchSize(gray.width, gray.height);
      decoded = uprightImage(source, searchWidth, searchHeight);
    }
    const UprightImage& searched = analysed ? *analysed : decoded;
    const HumanRequest request = configuredHumanRequest(services.detector);
    // A detection that fails still counts as the pass it was.
    outcome.detectionPasses = 1;
    const auto people = detectedPeople(searched, Rect{0, 0, width, height}, ImageSize{width, height},
                                       services.detector, request);
    const auto boxes = deduplicatedPeople(people);
    bool missed = false;
    for (const auto& box : boxes) {
      const double personArea = box.bounds.width * box.bounds.height;
      if (personArea * 0.5 > static_cast<double>(foregroundCount) && personArea >= imageArea * 0.15) {
        const double coverage = foregroundCoverage(gray, box.bounds);
        if (coverage < 0.1) {
          missed = true;
          break;
        }
      }
    }
    if (!missed) return std::nullopt;
    const bool fullSize = searched.width == gray.width && searched.height == gray.height;
    const UprightImage full = fullSize ? UprightImage{} : uprightImage(source, gray.width, gray.height);
    return recoverPeople(boxes, fullSize ? searched : full, 0.2, 0.2, 1, outcome.cropPasses, services.engine);
  } catch (const CutoutFailure failure) {
    outcome.recoveryError = std::string(rawValue(failure));
  } catch (...) {
    outcome.recoveryError = std::string(rawValue(CutoutFailure::nativeFailure));
  }
  return std::nullopt;
}

}  // namespace

int64_t imageDimension(const std::optional<double>& value) {
  if (!value) throw CutoutFailure::invalidInput;
  const double number = *value;
  if (!std::isfinite(number) || number <= 0 || number != std::floor(number) ||
      number > static_cast<double>(maximumImagePixels)) {
    throw CutoutFailure::imageTooLarge;
  }
  return static_cast<int64_t>(number);
}

Json run(const Json& request, const PhaseCallback& phase, CutoutServices& services) {
  const auto kind = request.find("kind");
  const auto path = pathValue(request, "path");
  const auto destination = pathValue(request, "destination");
  if (kind == request.end() || !kind->is_string() || *kind != "native_cutout" || !path || !destination) {
    throw CutoutFailure::invalidInput;
  }

  const fs::path input = standardizedPath(*path);
  const fs::path output = standardizedPath(*destination);
  const fs::path outputDirectory = output.parent_path();
  if (!isRegularReadableFile(input)) throw CutoutFailure::invalidInput;
  // The mask must never overwrite its own input, whichever links lead to it.
  if (resolvedPath(input) == resolvedPath(output)) throw CutoutFailure::invalidInput;
  if (!isWritableDirectory(outputDirectory)) throw CutoutFailure::invalidInput;
  struct stat existing {};
  if (::lstat(output.c_str(), &existing) == 0 && (S_ISLNK(existing.st_mode) || S_ISDIR(existing.st_mode))) {
    throw CutoutFailure::invalidInput;
  }

  const double t0 = uptimeSeconds();
  // Every later stage reads this copy, never the file again: a file changed or replaced while the
  // job runs cannot make it decode, or allocate for, another picture than the one checked here.
  const InputSnapshot snapshot = InputSnapshot::take(input);
  const std::unique_ptr<ImageSource> source = services.openImage(snapshot.path());
  if (!source) throw CutoutFailure::invalidInput;
  const auto properties = source->properties();
  if (!properties) throw CutoutFailure::invalidInput;
  int64_t width = imageDimension(properties->pixelWidth);
  int64_t height = imageDimension(properties->pixelHeight);
  int64_t pixels = 0;
  if (__builtin_mul_overflow(width, height, &pixels) || pixels > maximumImagePixels) {
    throw CutoutFailure::imageTooLarge;
  }
  const int orientation = orientationOf(properties->orientation);
  if (orientation >= 5) std::swap(width, height);

  phase("loading");
  const ImageRequestHandler handler{ImageRequestHandler::File{*source, width, height}};
  phase("running");

  std::unique_ptr<InstanceMaskObservation> observation = nativeStep([&] {
    const ForegroundRequest segmentation = configuredRequest(services.engine);
    return services.engine.perform(segmentation, handler);
  });
  const double t1 = uptimeSeconds();

  MaskOutcome outcome;
  std::optional<RecoveredMask> recovered;
  bool usable = false;
  if (observation && !observation->allInstances().empty()) {
    GrayMask gray;
    std::shared_ptr<const UprightImage> analysed = observation->analysedPicture();
    {
      // The scaled mask is released as soon as it has been converted.
      const auto& instances = observation->allInstances();
      std::unique_ptr<PixelBuffer> scaled =
          nativeStep([&] { return observation->generateScaledMask(instances, handler); });
      if (!scaled) throw CutoutFailure::nativeFailure;
      if (scaled->width() != width || scaled->height() != height) throw CutoutFailure::exportFailed;
      gray = grayscaleMask(*scaled);
      outcome.instanceCount = static_cast<int64_t>(instances.size());
    }
    observation.reset();
    const MaskStatistics statistics = maskStatistics(gray);
    if (!statistics.isDegenerate) {
      usable = true;
      if (static_cast<double>(gray.bytes.size()) * 0.2 >= static_cast<double>(statistics.foregroundCount)) {
        recovered = recoverMissedPeople(gray, statistics.foregroundCount, *source, analysed.get(), services, outcome);
      }
      analysed.reset();
      if (recovered) {
        outcome.maskSize = exportGrayscaleMask(recovered->mask, output);
        outcome.recoveryMode = "missed_prominent_people";
        outcome.instanceCount = recovered->instanceCount;
        outcome.recoveredPeople = recovered->peopleCount;
      } else {
        outcome.maskSize = exportGrayscaleMask(gray, output);
      }
    }
  }
  if (!usable) {
    observation.reset();
    recovered = nativeStep([&] {
      return recoverDistantPeople(*source, width, height, services.detector, services.engine);
    });
    outcome.maskSize = exportGrayscaleMask(recovered->mask, output);
    outcome.recoveryMode = "human_guided_crops";
    outcome.instanceCount = recovered->instanceCount;
    outcome.detectionPasses = recovered->detectionPasses;
    outcome.recoveredPeople = recovered->peopleCount;
    outcome.cropPasses = recovered->cropPasses;
  }

  const int64_t peakRss = peakResidentBytes();
  return Json{
      {"mask_path", output.string()},
      {"mask_size", {outcome.maskSize[0], outcome.maskSize[1]}},
      {"providers", {"AppleVisionGPU"}},
      {"backend", "apple_vision"},
      {"backend_revision", backendRevision},
      {"instance_count", outcome.instanceCount},
      {"recovery_mode", outcome.recoveryMode},
      {"human_detection_passes", outcome.detectionPasses},
      {"recovered_people_count", outcome.recoveredPeople},
      {"foreground_crop_passes", outcome.cropPasses},
      {"optional_recovery_error", outcome.recoveryError},
      {"inference_seconds", t1 - t0},
      {"total_seconds", uptimeSeconds() - t0},
      {"peak_rss_bytes", peakRss},
  };
}

}  // namespace rezoro::cutout
