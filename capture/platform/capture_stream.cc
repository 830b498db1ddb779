#include "capture/platform/capture_stream.h"

namespace rezoro::capture {

MediaTime hostMediaTime(double hostSeconds) {
  return MediaTime::fromSeconds(hostSeconds, kHostTimescale);
}

MediaTime hostMediaTime() { return hostMediaTime(hostTimeSeconds()); }

}  // namespace rezoro::capture
