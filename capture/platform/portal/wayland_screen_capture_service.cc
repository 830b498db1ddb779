#include "capture/platform/portal/wayland_screen_capture_service.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "capture/platform/pipewire/pipewire_video_stream.h"
#include "capture/platform/portal/restore_token.h"
#include "capture/platform/portal/screencast_portal.h"
#include "capture/platform/portal/wayland_capture_stream.h"
#include "capture/platform/pulse/sound_applications.h"
#include "capture/platform/pulse/system_audio_stream.h"

namespace rezoro::capture {
namespace {

// Shares of the recorder's 12 s start time-out: the portal's requests (and the user's answer), the
// PipeWire connection, the stream's format. Together they stay below it.
constexpr double kPortalSeconds = 9.0;
constexpr double kRemoteSeconds = 1.0;
constexpr double kFormatSeconds = 1.5;
constexpr double kProbeSeconds = 2.0;
constexpr uint32_t kOldestRememberingPortal = 4;

}  // namespace

WaylandScreenCaptureService::WaylandScreenCaptureService(bool screenNeeded)
    : screenNeeded_(screenNeeded), cancel_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WaylandScreenCaptureService::~WaylandScreenCaptureService() {
  const uint64_t one = 1;
  if (cancel_) [[maybe_unused]] const ssize_t written = ::write(cancel_.get(), &one, sizeof one);
}

void WaylandScreenCaptureService::getShareableContent(bool, bool, ContentCompletion completion) {
  worker_.async([this, completion = std::move(completion)] {
    ShareableContent content;
    // Wayland has no list of clients to ask, and the exclusion acts on sound only: the applications
    // are the processes that play.
    content.applications = soundApplications();
    if (!screenNeeded_) {
      content.displays.push_back(ShareableDisplay{kPortalDisplayID, DisplayRect{0, 0, 2, 2}, 1.0, "portal"});
      return completion(std::move(content), std::nullopt);
    }

    const std::optional<std::filesystem::path> tokenPath = restoreTokenPath();
    PlatformError error;
    auto screen = std::make_shared<PortalScreen>();
    screen->session = ScreenCastSession::open(tokenPath ? loadRestoreToken(*tokenPath) : std::nullopt,
                                              kPortalSeconds, cancel_.get(), error);
    if (!screen->session) return completion(std::nullopt, error);
    // Kept at once: the grant stands even if this recording goes wrong later.
    if (tokenPath && screen->session->restoreToken()) storeRestoreToken(*tokenPath, *screen->session->restoreToken());

    UniqueFd remote = screen->session->openPipeWireRemote(kRemoteSeconds, error);
    if (!remote) return completion(std::nullopt, error);
    std::string message;
    screen->video = PipeWireVideoStream::connect(std::move(remote), screen->session->stream().node,
                                                 kFormatSeconds, message);
    if (!screen->video) return completion(std::nullopt, PlatformError{message});

    const double width = screen->video->width(), height = screen->video->height();
    const DisplayRect frame = screen->session->stream().frame.value_or(DisplayRect{0, 0, width, height});
    content.displays.push_back(ShareableDisplay{kPortalDisplayID, frame, width / frame.width, "portal"});
    {
      std::lock_guard lock(mutex_);
      screen_ = std::move(screen);
    }
    completion(std::move(content), std::nullopt);
  });
}

std::unique_ptr<CaptureStream> WaylandScreenCaptureService::makeStream(const ContentFilter& filter,
                                                                       const StreamConfiguration& configuration,
                                                                       std::weak_ptr<StreamDelegate> delegate) {
  // An audio recording asked the portal nothing: its stream is the system sound alone.
  if (!screenNeeded_) return std::make_unique<SystemAudioStream>(filter, configuration, std::move(delegate));
  std::shared_ptr<PortalScreen> screen;
  {
    std::lock_guard lock(mutex_);
    screen = std::move(screen_);
  }
  return std::make_unique<WaylandCaptureStream>(filter, configuration, std::move(delegate), std::move(screen));
}

ScreenAccess checkPortalScreenAccess() {
  ScreenAccess access;
  const std::optional<ScreenCastPortalInfo> portal = screenCastPortalInfo(kProbeSeconds);
  access.supported = portal && portal->version >= kOldestRememberingPortal;
  const std::optional<std::filesystem::path> tokenPath = restoreTokenPath();
  access.screenPermission = tokenPath && loadRestoreToken(*tokenPath).has_value();
  return access;
}

}  // namespace rezoro::capture
