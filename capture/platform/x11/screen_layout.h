#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/platform/changed_area.h"
#include "capture/platform/x11/xcb_connection.h"

namespace rezoro::capture {

// A RandR monitor: the atom of its name and where it lies on the root window, in pixels.
struct X11Monitor {
  uint32_t name = 0;
  PixelRect frame;
  bool primary = false;
};

// The RandR 1.5 monitors of the screen in the server's order, without empty ones. None when the
// server has no RandR 1.5 or does not answer.
std::vector<X11Monitor> x11Monitors(const XcbConnection& connection);

// The screen as it is now: the root window's size and the monitors on it.
struct ScreenLayout {
  int width = 0;
  int height = 0;
  std::vector<X11Monitor> monitors;
};

// Asks the server; a root window whose size cannot be read counts as 0 × 0.
ScreenLayout x11ScreenLayout(const XcbConnection& connection);

// Why an area of root pixels, taken from the monitor named `monitor` (none: from the screen as a
// whole), can no longer be recorded under `layout`, or none while it still can: the area must lie
// on the screen and, for a monitor, that monitor must still exist and still hold the area.
std::optional<std::string> lostAreaReason(const PixelRect& area, std::optional<uint32_t> monitor,
                                          const ScreenLayout& layout);

}  // namespace rezoro::capture
