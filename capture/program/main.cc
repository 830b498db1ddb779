// rezoro-capture: answers "--probe" or records once ("--record <request file>") and prints one result.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "capture/media/media_platform.h"
#include "capture/platform/portal/wayland_screen_capture_service.h"
#include "capture/platform/x11/x11_screen_access.h"
#include "capture/platform/x11/x11_screen_capture_service.h"
#include "capture/program/entry.h"
#include "capture/program/screen_source.h"
#include "capture/recording/recorder.h"
#include "capture/runtime/bounded_wait.h"

int main(int argc, char** argv) {
  using namespace rezoro::capture;
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const ScreenSource source = chosenScreenSource([](const char* name) { return std::getenv(name); });

  // The stop signals stay pending until the recorder's stop controls take them (every thread
  // started from here on inherits the mask): one that arrives early must neither kill the process
  // nor be lost.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  // The result line is the only thing the parent may read. The libraries (the sound client, the
  // encoders, xcb, PipeWire) print what they like on descriptors 1 and 2, so those lead nowhere and
  // the result goes out through private copies of them.
  EntryServices services;
  services.outputFd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  services.errorFd = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (services.outputFd < 0) services.outputFd = 1;
  if (services.errorFd < 0) services.errorFd = 2;
  if (const int nowhere = ::open("/dev/null", O_RDWR | O_CLOEXEC); nowhere >= 0) {
    if (services.outputFd != 1) ::dup2(nowhere, 1);
    if (services.errorFd != 2) ::dup2(nowhere, 2);
    ::close(nowhere);
  }

  // Never destroyed (see the end): a content request stuck on a frozen X server keeps its worker
  // busy for good.
  std::unique_ptr<ScreenCaptureService> screenCapture;
  services.screenAccess = [source] {
    // A display or portal that does not answer in time can be neither used nor read.
    return valueWithin<ScreenAccess>(x11AnswerSeconds,
                                     source == ScreenSource::portal ? checkPortalScreenAccess : checkScreenAccess)
        .value_or(ScreenAccess{});
  };
  services.record = [&screenCapture, source](const CaptureRequest& request) -> CaptureResult {
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
  const int status = runCapture(arguments, services);
  // The result has been written in one write and nothing is buffered. Threads that are stuck on a
  // frozen server or a stalled disk must not keep the process alive, nor run destructors under
  // them: the process ends here.
  ::_exit(status);
}
