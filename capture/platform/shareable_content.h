#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace rezoro::capture {

// An error of the capture platform, with a sentence that is never shown to the user.
struct PlatformError {
  std::string message;
  // The user or the system declined to let this process see the screen (a portal dialogue was
  // cancelled or refused), as opposed to the service failing.
  bool refused = false;
  // The person ended the sharing from the desktop (its "stop sharing" control): the capture ends
  // as by a stop control and keeps what it holds, as opposed to the service failing.
  bool stoppedSharing = false;
};
using ErrorCompletion = std::function<void(std::optional<PlatformError>)>;

// A rectangle in points with the origin at the top-left and y growing downwards. On X11 a point is a
// pixel.
struct DisplayRect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const DisplayRect&) const = default;
};

struct ShareableDisplay {
  uint32_t displayID = 0;
  DisplayRect frame;             // in the global desktop space
  double pointPixelScale = 1.0;  // pixels per point
  std::string name;
  bool operator==(const ShareableDisplay&) const = default;
};

struct ShareableApplication {
  pid_t processID = 0;
  std::string applicationName;
  bool operator==(const ShareableApplication&) const = default;
};

struct ShareableContent {
  std::vector<ShareableDisplay> displays;
  std::vector<ShareableApplication> applications;
};

}  // namespace rezoro::capture
