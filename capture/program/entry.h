#pragma once

#include <functional>
#include <string>
#include <vector>

#include "capture/contract/capture_failure.h"
#include "capture/contract/capture_request.h"
#include "capture/platform/screen_access.h"

namespace rezoro::capture {

// What the entry needs from the rest of the program.
struct EntryServices {
  // Answers the probe's two questions.
  std::function<ScreenAccess()> screenAccess;
  // Carries out one recording and returns its single result.
  std::function<CaptureResult(const CaptureRequest&)> record;
  int outputFd = 1;
  int errorFd = 2;
};

// The probe object: {"backend","ok","revision","screen_permission","supported"}.
Json probeResult(const ScreenAccess& access);

// Runs the program for `arguments` (without the program name): "--probe", or "--record" and a
// request file path. Writes exactly one JSON line (a probe or success object on outputFd, a failure
// on errorFd) and returns the exit status: 0 for a probe or a success, 1 for a failure.
int runCapture(const std::vector<std::string>& arguments, const EntryServices& services);

}  // namespace rezoro::capture
