#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <vector>

#include "capture/platform/x11/xcb_connection.h"

namespace rezoro::capture {

// Values of a 32-bit property (CARDINAL, WINDOW or ATOM) of `window`; empty when absent.
std::vector<uint32_t> windowProperty32(const XcbConnection& connection, xcb_window_t window,
                                       xcb_atom_t property, xcb_atom_t type);

// The children of `window`, bottom of the stacking order first; empty when it is gone.
std::vector<xcb_window_t> childWindows(const XcbConnection& connection, xcb_window_t window);

// Which process a top-level window belongs to. A window belongs to the process behind its X client:
// the X-Resource extension names the pid of a local client; a client connected otherwise, or a
// server without the extension, falls back to the _NET_WM_PID the client set. Under a reparenting
// window manager the top-level is the manager's frame, and the window that counts is the client
// window inside it (the one carrying WM_STATE or _NET_WM_PID).
class WindowOwners {
 public:
  explicit WindowOwners(const XcbConnection& connection);

  struct Owner {
    xcb_window_t client = XCB_WINDOW_NONE;  // the application's own window
    pid_t pid = 0;                          // 0 when nobody can tell
  };
  Owner ownerOf(xcb_window_t topLevel) const;
  bool hasResourceExtension() const { return resourceExtension_; }

 private:
  xcb_window_t clientWindow(xcb_window_t topLevel) const;
  pid_t clientPid(xcb_window_t window) const;

  const XcbConnection& connection_;
  bool resourceExtension_ = false;
  xcb_atom_t pidAtom_ = XCB_ATOM_NONE;
  xcb_atom_t stateAtom_ = XCB_ATOM_NONE;
};

}  // namespace rezoro::capture
