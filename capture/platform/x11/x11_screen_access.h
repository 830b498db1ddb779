#pragma once

#include "capture/platform/screen_access.h"

namespace rezoro::capture {

// Connects to the X display named by $DISPLAY and reads one pixel of the first screen's root window:
// "supported" when an X display can be connected to, "screen permission" when its root window's
// pixels can be read. Without a reachable display both answers are false. Never prompts and never
// changes anything.
ScreenAccess checkScreenAccess();

}  // namespace rezoro::capture
