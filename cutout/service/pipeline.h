#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "common/json_line.h"
#include "cutout/segmentation/foreground_engine.h"
#include "cutout/segmentation/image_source.h"
#include "cutout/segmentation/person_detector.h"
#include "cutout/service/service.h"

namespace rezoro::cutout {

// The services one cut-out run uses. The real ones are IsnetEngine, NanodetDetector and
// VipsImageSource::open; tests give fakes.
struct CutoutServices {
  ForegroundEngine& engine;
  PersonDetector& detector;
  // Opens an image file for its header; returns null when it is not a readable image. The run
  // passes the path of its private copy of the input (InputSnapshot), not the request's path.
  std::function<std::unique_ptr<ImageSource>(const std::filesystem::path&)> openImage;
};

// Carries out one cut-out request ({"kind": "native_cutout", "path": ..., "destination": ...}): checks
// it, reports the phases "loading" and "running", segments the image, recovers missed or distant
// people where needed, writes the mask PNG at the destination and returns the fourteen-key result.
// Throws CutoutFailure for every refusal and failure it recognises; a phase callback's exception
// passes through unchanged.
Json run(const Json& request, const PhaseCallback& phase, CutoutServices& services);

// A positive whole pixel count from a header value. Throws invalidInput when the value is missing,
// imageTooLarge when it is not a finite whole number in 1...maximumImagePixels.
int64_t imageDimension(const std::optional<double>& value);

}  // namespace rezoro::cutout
