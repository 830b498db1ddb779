#pragma once

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/platform/capture_stream.h"
#include "capture/platform/changed_area.h"
#include "capture/platform/incremental_picture.h"
#include "capture/platform/x11/shared_memory.h"
#include "capture/platform/x11/window_composer.h"
#include "capture/platform/x11/xcb_connection.h"
#include "common/unique_fd.h"

namespace rezoro::capture {

// The screen half of the X11 capture stream: one X connection and one thread. The thread keeps a
// copy of the source rectangle of the filter's display in shared memory, reading through MIT-SHM only
// the parts that XDamage reports as changed, at most once per minimum frame interval, and makes
// frames of it with the cursor drawn in (XFixes, IncrementalPicture): "complete" with an image when
// the area changed, "idle" without one otherwise, "skipped" when every buffer was in flight. The
// excluded applications' windows are left out by a WindowComposer. An area that no longer exists
// (the screen shrank past it, its monitor went away) or a lost connection ends it with a failure.
class ScreenGrabber {
 public:
  struct Callbacks {
    std::function<void(SampleBuffer, std::optional<double> grabSeconds)> onFrame;
    std::function<void()> onSkipped;
    std::function<void(const std::string&)> onFailure;
  };

  static std::unique_ptr<ScreenGrabber> open(const ContentFilter& filter,
                                             const StreamConfiguration& configuration,
                                             std::string& error);
  ~ScreenGrabber();

  // Runs the grab thread, which reports through `callbacks` until stop() or a failure.
  void start(Callbacks callbacks);
  // Ends the grab thread and waits for it; nothing is reported afterwards. Idempotent.
  void stop();

  // `memory` holds the source picture, kept up to date from the screen, followed by room for the
  // narrow rectangles read on their way into it.
  ScreenGrabber(XcbConnection connection, SharedMemory memory, PixelRect source, const StreamConfiguration& configuration);

  static size_t frameBytes(const PixelRect& source) { return static_cast<size_t>(source.width) * source.height * 4; }
  // Rectangles at most half as wide as the source go through this room; wider ones are read as
  // whole rows straight into the picture.
  static size_t scratchBytes(const PixelRect& source) { return frameBytes(source) / 2 + 4; }

 private:
  struct Cursor {
    int x = 0, y = 0, width = 0, height = 0;
    uint32_t serial = 0;
    bool operator==(const Cursor&) const = default;
  };
  using CursorImage = XcbReply<xcb_xfixes_get_cursor_image_reply_t>;
  // How often the screen's layout is read when no event announced a change.
  static constexpr double layoutCheckSeconds = 0.5;

  void run();
  // Waits until `deadline` (host seconds) while noting damage; false when told to stop or the
  // connection broke.
  bool waitUntil(double deadline, bool& damaged);
  // Adds the damage reported since the last call, in source pixels, to `changed`.
  void collectDamage(ChangedArea& changed);
  // Asks to hear of changes to the screen's size, outputs and monitors.
  void watchLayout();
  // Hands the events that `poll` gives to the damage flag, the layout flag and the window composer.
  void noteEvents(xcb_generic_event_t* (*poll)(xcb_connection_t*), bool& damaged);
  bool windowsChangedDuringGrab(bool& damaged);
  // Reads the whole area without the excluded windows into the source picture.
  bool readWithoutExcluded();
  CursorImage cursorImage(Cursor& cursor);
  // Reads `rects` (source pixels) of the screen into the source picture.
  bool readScreen(const std::vector<PixelRect>& rects);

  XcbConnection connection_;
  std::unique_ptr<WindowComposer> composer_;  // when applications are excluded
  WindowComposer::Mode mode_ = WindowComposer::Mode::direct;
  SharedMemory memory_;
  xcb_shm_seg_t shmSegment_ = 0;
  xcb_damage_damage_t damage_ = 0;
  xcb_xfixes_region_t region_ = 0;
  uint8_t damageEvent_ = 0;
  uint8_t randrEvent_ = 0;  // RandR's first event code; 0 without RandR
  // The RandR monitor the area was taken from; none when it was the screen as a whole.
  std::optional<uint32_t> monitor_;
  bool layoutChanged_ = false;
  PixelRect source_;
  double interval_ = 1.0 / 60;
  bool showsCursor_ = true;
  IncrementalPicture picture_;
  UniqueFd wake_;
  Callbacks callbacks_;
  std::thread thread_;
};

}  // namespace rezoro::capture
