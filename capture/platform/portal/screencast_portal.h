#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "capture/platform/shareable_content.h"
#include "common/unique_fd.h"

struct sd_bus;
struct sd_bus_slot;

namespace rezoro::capture {

// What the ScreenCast portal offers on the session bus.
struct ScreenCastPortalInfo {
  uint32_t version = 0;
  uint32_t availableSourceTypes = 0;  // 1 monitor, 2 window, 4 virtual
  uint32_t availableCursorModes = 0;  // 1 hidden, 2 embedded, 4 metadata
};

// The portal's properties, or none when the session bus, the portal or its ScreenCast interface
// cannot be reached within `timeoutSeconds`.
std::optional<ScreenCastPortalInfo> screenCastPortalInfo(double timeoutSeconds);

// The one stream a session shares: a PipeWire node and where its monitor sits in the compositor's
// space (logical points), when the portal says.
struct ScreenCastStreamInfo {
  uint32_t node = 0;
  std::optional<DisplayRect> frame;
};

// One screen-cast session of org.freedesktop.portal.ScreenCast (session D-Bus, through sd-bus):
// CreateSession, SelectSources (one monitor, the cursor drawn in when offered, persist_mode 2 with a
// restore token from an earlier grant) and Start; the desktop asks the person (its dialog) during
// SelectSources (xdg-desktop-portal-wlr) or Start (GNOME, KDE). Every Request's Response is awaited within its deadline. Errors are PlatformError with
// `refused` set when the user declined or the portal said no. Not thread-safe: one thread at a
// time, and only watchForClosing()'s thread once it runs.
class ScreenCastSession {
 public:
  // Opens and starts a session: CreateSession within `timeoutSeconds`, then `asking` runs (may be
  // empty) and SelectSources and Start are answered within `answerSeconds`. `cancel` (an
  // eventfd, may be -1) cuts the waits short when readable.
  static std::unique_ptr<ScreenCastSession> open(const std::optional<std::string>& restoreToken,
                                                 double timeoutSeconds, double answerSeconds, int cancel,
                                                 const std::function<void()>& asking, PlatformError& error);
  ~ScreenCastSession();  // stops watching, closes the session (bounded) and the bus
  ScreenCastSession(const ScreenCastSession&) = delete;
  ScreenCastSession& operator=(const ScreenCastSession&) = delete;

  const ScreenCastStreamInfo& stream() const { return stream_; }
  // The token to pass next time so that the user is not asked again; none when the portal gave none.
  const std::optional<std::string>& restoreToken() const { return restoreToken_; }

  // A connection to the PipeWire server that carries this session's stream.
  UniqueFd openPipeWireRemote(double timeoutSeconds, PlatformError& error);

  // From now on a thread of the session watches the bus; `onClosed` runs there once if the portal
  // closes the session (its Closed signal: the desktop ended the cast, `byPortal` true) or the bus
  // connection is lost (false). Call once, after the last other use.
  void watchForClosing(std::function<void(bool byPortal)> onClosed);

 private:
  ScreenCastSession() = default;
  void watch();

  sd_bus* bus_ = nullptr;
  std::string handle_;
  ScreenCastStreamInfo stream_;
  std::optional<std::string> restoreToken_;
  sd_bus_slot* closedSlot_ = nullptr;
  std::function<void(bool)> onClosed_;
  std::atomic<bool> closed_{false};
  bool closedByPortal_ = false;  // on the watcher's thread
  UniqueFd wake_;
  std::thread watcher_;
};

}  // namespace rezoro::capture
