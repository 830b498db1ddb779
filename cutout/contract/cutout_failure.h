#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/json_line.h"

namespace rezoro::cutout {

// The program's version of its segmentation backend ("revision" of the probe, "backend_revision").
inline constexpr int64_t backendRevision = 3;
// The largest request file the service reads.
inline constexpr int64_t maximumRequestBytes = 262144;
// The largest image and mask, in pixels.
inline constexpr int64_t maximumImagePixels = 64000000;

// Every failure the cut-out program reports. Thrown as a value; the raw value is the "error_code".
enum class CutoutFailure {
  noForeground,
  unsupportedHardware,
  invalidInput,
  imageTooLarge,
  exportFailed,
  nativeFailure,
};

// The machine-readable code, e.g. "no_foreground".
std::string_view rawValue(CutoutFailure failure);
// The one-sentence message for the user.
std::string_view sentence(CutoutFailure failure);
// The case whose raw value is exactly `raw`, or nothing.
std::optional<CutoutFailure> cutoutFailureFromRawValue(std::string_view raw);
// {"error": sentence, "error_code": raw value, "ok": false}
Json response(CutoutFailure failure);

}  // namespace rezoro::cutout
