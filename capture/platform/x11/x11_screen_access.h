#pragma once

namespace rezoro::capture {

// What the probe reports about the machine's screen.
struct ScreenAccess {
  bool supported = false;         // an X display can be connected to
  bool screenPermission = false;  // its root window's pixels can be read
};

// Connects to the X display named by $DISPLAY and reads one pixel of the first screen's root window.
// Without a reachable display both answers are false. Never prompts and never changes anything.
ScreenAccess checkScreenAccess();

}  // namespace rezoro::capture
