#include "capture/platform/x11/x11_screen_capture_service.h"

#include "capture/platform/pulse/sound_applications.h"
#include "capture/platform/x11/x11_capture_stream.h"
#include "capture/platform/x11/x11_shareable_content.h"
#include "capture/runtime/bounded_wait.h"

namespace rezoro::capture {

bool X11ScreenCaptureService::preflightScreenCaptureAccess() {
  // A server that does not answer has refused nothing: the recording goes on and fails to start.
  return valueWithin<bool>(x11AnswerSeconds, x11ScreenReadable).value_or(true);
}

uint32_t X11ScreenCaptureService::mainDisplayID() {
  return valueWithin<uint32_t>(x11AnswerSeconds, [] {
           std::string error;
           std::optional<XcbConnection> connection = XcbConnection::open(error);
           return connection ? x11MainDisplayID(*connection) : 0u;
         }).value_or(0);
}

void X11ScreenCaptureService::getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                                  ContentCompletion completion) {
  worker_.async([=, completion = std::move(completion)] {
    std::string error;
    std::optional<XcbConnection> connection = XcbConnection::open(error);
    if (!connection) return completion(std::nullopt, PlatformError{error});
    ShareableContent content;
    content.displays = x11Displays(*connection);
    content.applications = x11Applications(*connection, excludingDesktopWindows, onScreenWindowsOnly);
    // Processes that only play sound can be left out of a recording too.
    addApplications(content.applications, soundApplications());
    if (connection->broken()) {
      return completion(std::nullopt, PlatformError{"the X display connection was lost"});
    }
    completion(std::move(content), std::nullopt);
  });
}

std::unique_ptr<CaptureStream> X11ScreenCaptureService::makeStream(const ContentFilter& filter,
                                                                   const StreamConfiguration& configuration,
                                                                   std::weak_ptr<StreamDelegate> delegate) {
  return std::make_unique<X11CaptureStream>(filter, configuration, std::move(delegate));
}

}  // namespace rezoro::capture
