#include "capture/platform/portal/wayland_screen_capture_service.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>

#include "capture/platform/pipewire/pipewire_video_stream.h"
#include "capture/platform/portal/restore_token.h"
#include "capture/platform/portal/screencast_portal.h"
#include "capture/platform/portal/wayland_capture_stream.h"
#include "capture/platform/pulse/sound_applications.h"
#include "capture/platform/pulse/system_audio_stream.h"
#include "capture/platform/wayland/output_layout.h"
#include "capture/platform/wayland/wayland_outputs.h"

namespace rezoro::capture {
namespace {

// Shares of the recorder's 12 s start time-out: the portal's requests before the dialog, and after
// the grant the PipeWire connection, the stream's format and the compositor's outputs. Each side
// stays below it.
constexpr double kPortalSeconds = 9.0;
constexpr double kRemoteSeconds = 1.0;
constexpr double kFormatSeconds = 1.5;
constexpr double kOutputsSeconds = 1.0;
// The person's answer in the dialog is bounded by the recorder (two minutes, then `timeout`); this
// only keeps a wait from lasting for ever should the recorder not cut it short.
constexpr double kAnswerSeconds = 130.0;
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
    const std::optional<std::string> stored = tokenPath ? loadRestoreToken(*tokenPath) : std::nullopt;
    PermissionSteps steps;
    {
      std::lock_guard lock(mutex_);
      steps = steps_;
    }
    PlatformError error;
    auto screen = std::make_shared<PortalScreen>();
    screen->session =
        ScreenCastSession::open(stored, kPortalSeconds, kAnswerSeconds, cancel_.get(), steps.asking, error);
    if (!screen->session) return completion(std::nullopt, error);
    if (steps.granted) steps.granted();
    {
      std::lock_guard lock(mutex_);
      grantedToken_ = screen->session->restoreToken();
      restored_ = stored.has_value();
    }

    UniqueFd remote = screen->session->openPipeWireRemote(kRemoteSeconds, error);
    if (!remote) return completion(std::nullopt, error);
    std::string message;
    screen->video = PipeWireVideoStream::connect(std::move(remote), screen->session->stream().node,
                                                 kFormatSeconds, message);
    if (!screen->video) return completion(std::nullopt, PlatformError{message});

    // Where the streamed output lies and its pixels per point come from the compositor: the
    // portal's figures are pixels on some desktops and points on others.
    std::string outputsMessage;
    const std::optional<std::vector<WaylandOutput>> outputs = waylandOutputs(kOutputsSeconds, outputsMessage);
    content.displays = streamDisplays(outputs.value_or(std::vector<WaylandOutput>{}), screen->video->width(),
                                      screen->video->height(), screen->session->stream().frame, kPortalDisplayID);
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

void WaylandScreenCaptureService::setPermissionSteps(PermissionSteps steps) {
  std::lock_guard lock(mutex_);
  steps_ = std::move(steps);
}

void WaylandScreenCaptureService::cancelShareableContent() {
  const uint64_t one = 1;
  if (cancel_) [[maybe_unused]] const ssize_t written = ::write(cancel_.get(), &one, sizeof one);
}

void WaylandScreenCaptureService::keepGrant() {
  std::lock_guard lock(mutex_);
  const std::optional<std::filesystem::path> tokenPath = restoreTokenPath();
  if (tokenPath && grantedToken_) storeRestoreToken(*tokenPath, *grantedToken_);
  grantedToken_.reset();
}

bool WaylandScreenCaptureService::forgetGrant() {
  std::shared_ptr<PortalScreen> screen;
  bool restored = false;
  {
    std::lock_guard lock(mutex_);
    screen = std::move(screen_);
    grantedToken_.reset();
    restored = std::exchange(restored_, false);
    const std::optional<std::filesystem::path> tokenPath = restoreTokenPath();
    if (restored && tokenPath) forgetRestoreToken(*tokenPath);
  }
  return restored;  // the session of the forgotten grant closes as `screen` goes
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
