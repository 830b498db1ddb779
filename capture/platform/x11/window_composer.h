#pragma once

#include <xcb/xcb.h>

#include <map>
#include <memory>
#include <vector>

#include "capture/platform/process_tree.h"
#include "capture/platform/x11/window_owners.h"
#include "capture/platform/x11/xcb_connection.h"

namespace rezoro::capture {

// Leaves the windows of some processes out of the picture of a screen area. The top-level windows
// and their owners are re-read when the window structure changes (and every second), the process
// tree every half second. While none of the excluded windows is shown in the area the caller grabs
// the screen directly as ever (`direct`). Once one is, the top-level windows are redirected
// (Composite, automatic: the server still shows them as before) and every frame is painted anew
// (`composed`): what the root last showed where no window was (also copied once a second before),
// then the named pixmap of each window in stacking order with Render, skipping the excluded ones,
// onto one pixmap of the area that the caller reads instead of the root. For the moment after redirecting, while windows
// repaint what they had hidden, and on a server without Composite or Render, the caller grabs
// directly and blanks the excluded windows (`masked`): never shown, but a hole instead of what
// lies beneath. Runs on the thread that owns the connection.
//
// Where an excluded window has covered the bare desktop since before it was first seen, the root's
// own background (a colour or a pixmap: xsetroot, feh) is what lies beneath. The server paints it
// only onto the root itself, which the grab cannot read through the window; so while composing, a
// window of ours over the area, with a ParentRelative background (the root's, aligned with it),
// kept below every other window, lets the server paint that background into a pixmap of its own.
// It takes no input and is marked fully transparent (_NET_WM_WINDOW_OPACITY 0), so a compositing
// manager does not show it; without one it looks exactly like the root it covers. Only a
// compositing manager that paints a wallpaper of its own leaves nothing there for the server to
// give: black, unless the desktop was seen there before.
class WindowComposer {
 public:
  enum class Mode { direct, composed, masked };

  // `x`, `y`, `width`, `height`: the area in root pixels. Selects structure events on the root.
  WindowComposer(const XcbConnection& connection, ProcessTree excluded, int x, int y, int width, int height);
  ~WindowComposer();
  WindowComposer(const WindowComposer&) = delete;
  WindowComposer& operator=(const WindowComposer&) = delete;

  // Every event read from the connection passes here.
  void noteEvent(const xcb_generic_event_t& event);
  // What the next frame takes; re-reads what has gone stale.
  Mode prepare();
  // Paints the area into a pixmap of its size, to be read from (0, 0). Mode `composed` only.
  xcb_drawable_t compose();
  // Fills the excluded windows in a grab of the area (BGRX rows of `stride` bytes) with black.
  void blank(uint8_t* pixels, int stride) const;

  // Events since the last prepare() may have changed the windows.
  bool stale() const { return stale_; }

 private:
  struct Window {
    xcb_window_t id = 0;
    int x = 0, y = 0, width = 0, height = 0;  // outer size, border included, in root pixels
    uint32_t format = 0;                      // Render format of its visual
    bool excluded = false;
  };

  void readWindows();
  void markExcluded();
  void setRedirected(bool redirected);
  void updateBackgroundClip();
  void createPictures();
  void rememberBackground();
  // Our window that shows the root's background; made when composing begins, gone when it ends.
  void showDesktop(bool shown);
  // Paints the named pixmap of window `id` (Render format `format`) at (x, y) of the frame.
  void paintWindow(xcb_window_t id, uint32_t format, int x, int y, int width, int height, uint8_t op);
  bool inArea(const Window& window) const;

  const XcbConnection& connection_;
  ProcessTree excluded_;
  WindowOwners owners_;
  const int x_, y_, width_, height_;

  bool canCompose_ = false;
  std::map<uint32_t, uint32_t> visualFormats_;  // visual → Render picture format
  uint32_t rootFormat_ = 0;

  std::vector<Window> windows_;            // viewable top-level windows, bottom first
  std::map<xcb_window_t, pid_t> ownerPids_;
  bool stale_ = true;
  bool newWindows_ = false;  // windows not seen before came with the last reading
  double readAt_ = -1e300;
  bool redirected_ = false;
  double settledAt_ = 0;  // composing starts at this host time after redirecting

  // Server objects while composing (0 = none).
  xcb_pixmap_t frame_ = 0, background_ = 0;
  uint32_t framePicture_ = 0, rootPicture_ = 0;
  uint32_t backgroundPicture_ = 0;  // for writing, clipped to what no window covers
  uint32_t backgroundSource_ = 0;   // for reading, unclipped
  uint32_t uncovered_ = 0;  // XFixes region of the area that no window covers
  uint32_t seen_ = 0;       // XFixes region of the area where the background holds what was shown
  double backgroundAt_ = -1e300;
  xcb_window_t desktop_ = 0;  // the window painted with the root's background, while composing
};

}  // namespace rezoro::capture
