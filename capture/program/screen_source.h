#pragma once

#include <functional>

namespace rezoro::capture {

// Where the screen is read from; chosen once per run.
enum class ScreenSource { x11, portal };

// The variable that forces the choice: "x11" or "portal" (any other value is ignored).
inline constexpr const char* kScreenSourceVariable = "REZORO_SCREEN_SOURCE";

// The portal on a Wayland session (XDG_SESSION_TYPE is "wayland", or WAYLAND_DISPLAY is set while
// DISPLAY is not), X11 otherwise, unless REZORO_SCREEN_SOURCE says which. `environment` reads a
// variable (null when unset).
ScreenSource chosenScreenSource(const std::function<const char*(const char*)>& environment);

}  // namespace rezoro::capture
