// rezoro-capture: answers "--probe" or records once ("--record <request file>") and prints one result.
#include <memory>
#include <string>
#include <vector>

#include "capture/entry.h"
#include "capture/platform/media_platform.h"
#include "capture/platform/x11/screen_access.h"
#include "capture/platform/x11/x11_screen_capture_service.h"
#include "capture/recorder.h"

int main(int argc, char** argv) {
  using namespace rezoro::capture;
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  // Declared before any recorder, so that a content request still under way ends after it.
  X11ScreenCaptureService screenCapture;

  EntryServices services;
  services.screenAccess = checkScreenAccess;
  services.record = [&screenCapture](const CaptureRequest& request) -> CaptureResult {
    RecorderServices recorderServices;
    recorderServices.screenCapture = &screenCapture;
    recorderServices.mediaPlatform = realMediaPlatform();
    recorderServices.stopInputFd = 0;
    auto recorder = std::make_shared<Recorder>(request, std::move(recorderServices));
    return recorder->run();
  };
  return runCapture(arguments, services);
}
