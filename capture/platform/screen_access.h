#pragma once

namespace rezoro::capture {

// What the probe reports about the machine's screen, whichever service answers it.
struct ScreenAccess {
  bool supported = false;         // the screen can be recorded here
  bool screenPermission = false;  // this process may read it now, without asking anybody
};

}  // namespace rezoro::capture
