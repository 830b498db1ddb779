#include "capture/recording/stream_configuration.h"

#include <algorithm>
#include <cmath>

#include "capture/contract/capture_failure.h"

namespace rezoro::capture {

OutputSize outputSize(double width, double height, double scale) {
  const double factor = std::min({std::sqrt(largestOutputPixels / (width * height)),
                                  largestOutputSide / std::max(width, height), scale});
  auto even = [factor](double points) {
    return std::max<int64_t>(2, 2 * static_cast<int64_t>(std::floor(points * factor * 0.5)));
  };
  return OutputSize{even(width), even(height)};
}

std::optional<DisplayRect> intersection(const DisplayRect& a, const DisplayRect& b) {
  const double left = std::max(a.x, b.x);
  const double top = std::max(a.y, b.y);
  const double right = std::min(a.x + a.width, b.x + b.width);
  const double bottom = std::min(a.y + a.height, b.y + b.height);
  if (!(right > left) || !(bottom > top)) return std::nullopt;
  return DisplayRect{left, top, right - left, bottom - top};
}

namespace {

DisplayRect displayRect(const CaptureRegion& region) {
  return DisplayRect{region.x, region.y, region.width, region.height};
}

}  // namespace

const ShareableDisplay& chosenDisplay(const std::vector<ShareableDisplay>& displays,
                                      const std::optional<CaptureRegion>& region, uint32_t mainDisplayID) {
  if (!region) {
    if (displays.empty()) throw CaptureFailure::noDisplay;
    for (const ShareableDisplay& display : displays) {
      if (display.displayID == mainDisplayID) return display;
    }
    return displays.front();
  }
  const ShareableDisplay* chosen = nullptr;
  double chosenArea = 0;
  for (const ShareableDisplay& display : displays) {
    const std::optional<DisplayRect> visible = intersection(display.frame, displayRect(*region));
    if (!visible) continue;
    const double area = visible->width * visible->height;
    if (chosen == nullptr || area > chosenArea) {
      chosen = &display;
      chosenArea = area;
    }
  }
  if (chosen == nullptr) throw CaptureFailure::noDisplay;
  return *chosen;
}

std::vector<ShareableApplication> excludedApplications(const ShareableContent& content, pid_t excludedPID,
                                                       pid_t ownPID) {
  std::vector<ShareableApplication> excluded;
  for (const ShareableApplication& application : content.applications) {
    if (application.processID == excludedPID || application.processID == ownPID) {
      excluded.push_back(application);
    }
  }
  // The requested application is left out for the whole recording, also when it neither plays nor
  // shows a window yet: its sound and windows may come later. (init would stand for every process.)
  const bool listed = std::any_of(excluded.begin(), excluded.end(), [&](const ShareableApplication& application) {
    return application.processID == excludedPID;
  });
  if (!listed && excludedPID > 1) excluded.push_back(ShareableApplication{excludedPID, ""});
  return excluded;
}

StreamConfiguration streamConfiguration(const CaptureRequest& request, const ContentFilter& filter) {
  StreamConfiguration configuration;
  configuration.queueDepth = 3;
  configuration.showsCursor = true;
  configuration.capturesAudio = request.captureAudio;
  configuration.sampleRate = 48000;
  configuration.channelCount = 2;

  if (!request.region) {
    configuration.width = 2;
    configuration.height = 2;
    configuration.minimumFrameInterval = MediaTime::make(1, 1);
    return configuration;
  }

  const double scale = filter.pointPixelScale();
  const std::optional<DisplayRect> visible = intersection(displayRect(*request.region), filter.display.frame);
  if (!visible || visible->width < 2 || visible->height < 2 || !std::isfinite(scale) || scale <= 0 ||
      scale > largestPointPixelScale) {
    throw CaptureFailure::noDisplay;
  }
  const OutputSize size = outputSize(visible->width, visible->height, scale);
  configuration.sourceRect = DisplayRect{visible->x - filter.display.frame.x, visible->y - filter.display.frame.y,
                                         visible->width, visible->height};
  configuration.width = static_cast<int>(size.width);
  configuration.height = static_cast<int>(size.height);
  configuration.minimumFrameInterval = MediaTime::make(1, 24);
  // The H.264 encoder takes 4:2:0 planes; the stream makes them from the changed parts only.
  configuration.pixelFormat = kPixelFormatI420;
  return configuration;
}

}  // namespace rezoro::capture
