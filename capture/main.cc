// rezoro-capture: answers "--probe" or records once ("--record <request file>") and prints one result.
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "capture/entry.h"
#include "capture/platform/media_platform.h"
#include "capture/platform/portal/wayland_screen_capture_service.h"
#include "capture/platform/x11/screen_access.h"
#include "capture/platform/x11/x11_screen_capture_service.h"
#include "capture/recorder.h"
#include "capture/screen_source.h"

int main(int argc, char** argv) {
  using namespace rezoro::capture;
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const ScreenSource source = chosenScreenSource([](const char* name) { return std::getenv(name); });

  EntryServices services;
  services.screenAccess = source == ScreenSource::portal ? checkPortalScreenAccess : checkScreenAccess;
  services.record = [source](const CaptureRequest& request) -> CaptureResult {
    // Declared before the recorder, so that a content request still under way ends after it.
    std::unique_ptr<ScreenCaptureService> screenCapture;
    if (source == ScreenSource::portal) {
      screenCapture = std::make_unique<WaylandScreenCaptureService>(request.kind == "video");
    } else {
      screenCapture = std::make_unique<X11ScreenCaptureService>();
    }
    RecorderServices recorderServices;
    recorderServices.screenCapture = screenCapture.get();
    recorderServices.mediaPlatform = realMediaPlatform();
    recorderServices.stopInputFd = 0;
    auto recorder = std::make_shared<Recorder>(request, std::move(recorderServices));
    return recorder->run();
  };
  return runCapture(arguments, services);
}
