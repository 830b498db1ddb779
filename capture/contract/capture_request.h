#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/json_line.h"

namespace rezoro::capture {

// The largest request file the program reads.
inline constexpr int64_t maximumRequestBytes = 65536;

// A rectangle of the screen in display points (x grows to the right, y downwards).
struct CaptureRegion {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  friend bool operator==(const CaptureRegion&, const CaptureRegion&) = default;
};

// A validated recording request. A plain value, copied by the recorder and the media writer.
struct CaptureRequest {
  std::string kind;                      // "video" or "audio"
  std::filesystem::path destination;     // absolute, without "." or ".." components
  std::optional<CaptureRegion> region;   // present exactly for "video"
  bool captureAudio = false;             // always true for "audio"
  double duration = 0;                   // seconds
  int32_t excludedPID = 0;

  // Builds a request from the top-level object of a request file, applying every rule of the
  // request format in order. Throws CaptureFailure::invalidInput for the first rule that fails, or
  // the failure of validateDestination(false).
  static CaptureRequest fromJson(const Json& object);

  // Checks the destination without following a symbolic link: nothing there, or an empty regular
  // file (a name reserved by the parent), is valid. With `removeReservation` such a file is
  // deleted. Throws CaptureFailure::invalidInput for anything else at the path or an lstat error,
  // CaptureFailure::exportFailed when the reservation cannot be deleted.
  void validateDestination(bool removeReservation) const;
};

// Reads and validates the request file at `path`: no symbolic link in the last component, a
// regular file of 1 to 65536 bytes holding one JSON object. Throws CaptureFailure (invalidInput,
// or the destination check's failure).
CaptureRequest loadRequest(const std::string& path);

// The JSON number `value` as a double. Throws CaptureFailure::invalidInput when it is absent
// (nullptr), not a number (Booleans are not numbers) or beyond the finite doubles.
double finiteNumber(const Json* value);

}  // namespace rezoro::capture
