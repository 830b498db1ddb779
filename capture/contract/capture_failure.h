#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "common/json_line.h"

namespace rezoro::capture {

// The name and version of the capture backend, reported by the probe and in every success result.
inline constexpr std::string_view captureBackend = "screen_capture_kit";
inline constexpr int64_t captureRevision = 1;

// Every failure the capture program reports. Thrown as a value; the raw value is the "error_code".
// The declaration order is part of the contract (it is the case index).
enum class CaptureFailure {
  invalidInput,
  unsupportedPlatform,
  permissionDenied,
  noDisplay,
  noFrames,
  noAudio,
  startFailed,
  recordingFailed,
  exportFailed,
  timeout,
};

// The machine-readable code, e.g. "no_frames".
std::string_view rawValue(CaptureFailure failure);
// The one-sentence message for the user.
std::string_view sentence(CaptureFailure failure);
// The case whose raw value is exactly `raw`, or nothing.
std::optional<CaptureFailure> captureFailureFromRawValue(std::string_view raw);
// {"error": sentence, "error_code": raw value, "ok": false}
Json response(CaptureFailure failure);

// What one recording ends with: the success dictionary or a failure.
using CaptureResult = std::variant<Json, CaptureFailure>;

}  // namespace rezoro::capture
