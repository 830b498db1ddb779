#include "capture/program/entry.h"

namespace rezoro::capture {
namespace {

int reportFailure(CaptureFailure failure, const EntryServices& services) {
  writeJsonLine(services.errorFd, response(failure));
  return 1;
}

}  // namespace

Json probeResult(const ScreenAccess& access) {
  return Json{{"ok", true},
              {"backend", captureBackend},
              {"revision", captureRevision},
              {"supported", access.supported},
              {"screen_permission", access.screenPermission}};
}

int runCapture(const std::vector<std::string>& arguments, const EntryServices& services) {
  if (arguments.size() == 1 && arguments[0] == "--probe") {
    writeJsonLine(services.outputFd, probeResult(services.screenAccess()));
    return 0;
  }
  if (arguments.size() != 2 || arguments[0] != "--record") {
    return reportFailure(CaptureFailure::invalidInput, services);
  }

  CaptureResult result = CaptureFailure::invalidInput;
  try {
    const CaptureRequest request = loadRequest(arguments[1]);
    result = services.record(request);
  } catch (CaptureFailure failure) {
    result = failure;
  } catch (...) {
    result = CaptureFailure::invalidInput;
  }

  if (const auto* failure = std::get_if<CaptureFailure>(&result)) {
    return reportFailure(*failure, services);
  }
  writeJsonLine(services.outputFd, std::get<Json>(result));
  return 0;
}

}  // namespace rezoro::capture
