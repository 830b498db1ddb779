#pragma once

#include <optional>
#include <string>
#include <vector>

#include "capture/platform/wayland/output_layout.h"

namespace rezoro::capture {

// The outputs of the Wayland compositor this process is a client of (WAYLAND_DISPLAY, else
// "wayland-0", in XDG_RUNTIME_DIR), each with its current mode (wl_output) and its logical position
// and size (zxdg_output_manager_v1), in the order the compositor announced them. Nothing (with the
// reason in `message`) when there is no compositor to reach, it offers no xdg-output, or it does not
// answer within `seconds`. Connects, asks, and disconnects: nothing is kept.
std::optional<std::vector<WaylandOutput>> waylandOutputs(double seconds, std::string& message);

}  // namespace rezoro::capture
