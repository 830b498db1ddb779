// rezoro-capture: answers "--probe" or records once ("--record <request file>") and prints one result.
#include <string>
#include <vector>

#include "capture/entry.h"
#include "capture/platform/screen_access.h"

namespace {

using rezoro::capture::CaptureFailure;
using rezoro::capture::CaptureRequest;
using rezoro::capture::CaptureResult;

// Until the recorder is wired in, a recording cannot start: the answer is the one the recorder
// gives when permission is missing, and otherwise the failure of a start that did not happen.
CaptureResult recordUnavailable(const CaptureRequest&) {
  if (!rezoro::capture::checkScreenAccess().screenPermission) return CaptureFailure::permissionDenied;
  return CaptureFailure::startFailed;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  rezoro::capture::EntryServices services;
  services.screenAccess = rezoro::capture::checkScreenAccess;
  services.record = recordUnavailable;
  return rezoro::capture::runCapture(arguments, services);
}
