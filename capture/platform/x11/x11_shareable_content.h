#pragma once

#include <optional>
#include <string>

#include "capture/platform/shareable_content.h"
#include "capture/platform/x11/xcb_connection.h"

namespace rezoro::capture {

// The displays of the X screen: its RandR monitors in the server's order, each identified by the
// atom of its name, frame in pixels (a point is a pixel, scale 1). A server without monitors gives
// one display covering the root window, identified by the root window.
std::vector<ShareableDisplay> x11Displays(const XcbConnection& connection);

// The primary monitor's display ID, or the first display's when none is primary.
uint32_t x11MainDisplayID(const XcbConnection& connection);

// The processes owning top-level windows (WindowOwners: X-Resource, else _NET_WM_PID), each once,
// in stacking order (bottom first). The name is the process's command name, or the window's class when the process is
// not visible here. `onScreenWindowsOnly` keeps only mapped windows; `excludingDesktopWindows`
// leaves out windows typed _NET_WM_WINDOW_TYPE_DESKTOP.
std::vector<ShareableApplication> x11Applications(const XcbConnection& connection,
                                                  bool excludingDesktopWindows,
                                                  bool onScreenWindowsOnly);

// Whether this process can read the pixels of the X screen (connects and reads one pixel).
bool x11ScreenReadable();

}  // namespace rezoro::capture
