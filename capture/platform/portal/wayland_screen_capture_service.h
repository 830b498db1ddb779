#pragma once

#include <memory>
#include <mutex>

#include "capture/platform/capture_stream.h"
#include "capture/platform/screen_access.h"
#include "capture/runtime/serial_queue.h"
#include "common/unique_fd.h"

namespace rezoro::capture {

struct PortalScreen;

// The display the portal streams; there is only ever one.
inline constexpr uint32_t kPortalDisplayID = 1;

// The screen-capture services of a Wayland desktop: the ScreenCast portal on the session bus and
// PipeWire, with PulseAudio for the system audio.
//
// Shareable content is the portal's answer: asking for it opens a screen-cast session (the
// desktop may ask the user which monitor to share: the permission steps say when, and the
// person's time in that dialog is theirs; the recorder bounds it), and lists that one monitor, its
// frame in the compositor's logical points and the pixels per point of its stream, as the
// compositor describes its outputs (streamDisplays(): outputs the stream cannot tell apart are all
// listed, for the region to pick). The grant's restore
// token is stored (restore_token.h) only once the recorder found the monitor to hold what it is to
// record (keepGrant); a restored monitor that does not is forgotten with its token (forgetGrant),
// so that the next request asks the person again. The portal offers no way to leave one application's windows out, so the
// excluded applications are not left out of the picture (their sound is). When `screenNeeded` is
// false (audio recordings) the portal is not asked at all and the stream is a SystemAudioStream.
//
// Answers and failures: the user declining (or the portal refusing) gives an error with `refused`
// set; no session bus, no portal or no ScreenCast interface a plain error, and so does a request
// cut short by cancelShareableContent(). Every wait but the dialog's is bounded so that the whole
// answer comes within the recorder's start time-out: before the dialog, from run(), and after it,
// from the grant.
class WaylandScreenCaptureService : public ScreenCaptureService {
 public:
  explicit WaylandScreenCaptureService(bool screenNeeded);
  ~WaylandScreenCaptureService() override;  // cuts short and waits for a content request under way

  // Always true: on Wayland the portal asks the user when the cast starts.
  bool preflightScreenCaptureAccess() override { return true; }
  uint32_t mainDisplayID() override { return kPortalDisplayID; }
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                            std::weak_ptr<StreamDelegate> delegate) override;
  void setPermissionSteps(PermissionSteps steps) override;
  void cancelShareableContent() override;
  void keepGrant() override;
  bool forgetGrant() override;

 private:
  const bool screenNeeded_;
  std::mutex mutex_;
  std::shared_ptr<PortalScreen> screen_;  // granted, not yet handed to a stream
  PermissionSteps steps_;
  std::optional<std::string> grantedToken_;  // of the last grant, until kept or forgotten
  bool restored_ = false;                    // the last grant came from the stored token
  UniqueFd cancel_;
  SerialQueue worker_;  // declared last: ends before what it uses
};

// The probe's answers on Wayland: "supported" when the ScreenCast portal (version 4 or later, the
// first that can remember a grant) answers on the session bus; "screen_permission" when a restore
// token from an earlier grant is stored. Never asks the user. "supported" promises no window
// exclusion: the portal records the excluded application's windows as it streams them (its sound is
// still left out).
ScreenAccess checkPortalScreenAccess();

}  // namespace rezoro::capture
