#pragma once
// The plain decisions of a recording, apart from the recorder that acts on them: which display to
// record, which applications to leave out, and the stream settings for a request.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "capture/contract/capture_request.h"
#include "capture/platform/capture_stream.h"
#include "capture/platform/shareable_content.h"

namespace rezoro::capture {

// The output never holds more pixels than 3840 × 2160, nor more than 3840 on its long side.
inline constexpr double largestOutputPixels = 8294400;
inline constexpr double largestOutputSide = 3840;
// The finest point-to-pixel scale taken as genuine.
inline constexpr double largestPointPixelScale = 8;

struct OutputSize {
  int64_t width = 0;
  int64_t height = 0;
  bool operator==(const OutputSize&) const = default;
};

// The even pixel size of a video whose visible part is `width` × `height` points on a display of
// `scale` pixels per point: at the display's own density, unless that exceeds the pixel-count or
// long-side limit; at least 2 × 2.
OutputSize outputSize(double width, double height, double scale);

// The intersection of two rectangles, or nothing when they do not overlap (touching edges do not).
std::optional<DisplayRect> intersection(const DisplayRect& a, const DisplayRect& b);

// The display to record. With a region: the listed display that shows the largest part of it (the
// earlier one on a tie). Without: the main display, else the first listed. Throws
// CaptureFailure::noDisplay when the list is empty or the region misses every display.
const ShareableDisplay& chosenDisplay(const std::vector<ShareableDisplay>& displays,
                                      const std::optional<CaptureRegion>& region, uint32_t mainDisplayID);

// The listed applications of `excludedPID` and of this process, in list order; then `excludedPID`
// (nameless) when it is not listed and is above 1, so that it is left out whenever it plays or
// shows a window during the recording.
std::vector<ShareableApplication> excludedApplications(const ShareableContent& content, pid_t excludedPID,
                                                       pid_t ownPID);

// The stream settings of a recording of `request` through `filter`: 48 kHz stereo audio when asked
// for, three frames in flight, the cursor shown; for "video" the visible part of the region as the
// source rectangle (display-local), at most 24 fps, BGRA at outputSize(); for "audio" a 2 × 2 picture
// once a second. Throws CaptureFailure::noDisplay when the visible part is smaller than 2 × 2 points
// or the filter's scale is not a finite number in (0, 8].
StreamConfiguration streamConfiguration(const CaptureRequest& request, const ContentFilter& filter);

}  // namespace rezoro::capture
