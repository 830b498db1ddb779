#include "cutout/program/entry.h"

#include "cutout/contract/cutout_failure.h"
#include "cutout/segmentation/foreground_request.h"
#include "cutout/service/file_checks.h"

namespace rezoro::cutout {

Json probeAnswer(ForegroundEngine& engine) {
  try {
    if (!engine.isAvailable()) return response(CutoutFailure::unsupportedHardware);
    configuredRequest(engine);
    return Json{{"ok", true}, {"backend", "apple_vision"}, {"revision", backendRevision}};
  } catch (CutoutFailure failure) {
    return response(failure);
  } catch (...) {
    return response(CutoutFailure::nativeFailure);
  }
}

int cutoutMain(const std::vector<std::string>& arguments, ForegroundEngine& engine, int outputFd,
               const ServeFunction& serve) {
  if (arguments.size() == 1 && arguments[0] == "--probe") {
    const Json answer = probeAnswer(engine);
    writeJsonLine(outputFd, answer);
    return answer.value("ok", false) == true ? 0 : 1;
  }
  if (arguments.size() == 2 && arguments[0] == "--serve") {
    return serve(standardizedPath(arguments[1]));
  }
  writeJsonLine(outputFd, response(CutoutFailure::invalidInput));
  return 2;
}

}  // namespace rezoro::cutout
