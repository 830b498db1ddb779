#include "capture/platform/wayland/output_layout.h"

#include <algorithm>
#include <cmath>

namespace rezoro::capture {
namespace {

bool sameSize(double width, double height, double otherWidth, double otherHeight) {
  return std::lround(width) == std::lround(otherWidth) && std::lround(height) == std::lround(otherHeight);
}

bool usable(const WaylandOutput& output) {
  return output.logical.width > 0 && output.logical.height > 0 && output.pixelWidth > 0 && output.pixelHeight > 0;
}

// The outputs for which `matches` holds, in the compositor's order.
template <class Matches>
std::vector<const WaylandOutput*> matching(const std::vector<const WaylandOutput*>& outputs, Matches matches) {
  std::vector<const WaylandOutput*> found;
  std::copy_if(outputs.begin(), outputs.end(), std::back_inserter(found),
               [&](const WaylandOutput* output) { return matches(*output); });
  return found;
}

}  // namespace

WaylandOutput inPoints(WaylandOutput output) {
  if (output.scale > 1 && sameSize(output.logical.width, output.logical.height, output.pixelWidth, output.pixelHeight)) {
    const double scale = output.scale;
    output.logical.width /= scale;
    output.logical.height /= scale;
  }
  return output;
}

std::vector<ShareableDisplay> streamDisplays(const std::vector<WaylandOutput>& outputs, int pictureWidth,
                                             int pictureHeight, const std::optional<DisplayRect>& portalFrame,
                                             uint32_t displayID) {
  std::vector<const WaylandOutput*> known;
  for (const WaylandOutput& output : outputs) {
    if (usable(output)) known.push_back(&output);
  }
  std::vector<const WaylandOutput*> candidates = matching(known, [&](const WaylandOutput& output) {
    return output.pixelWidth == pictureWidth && output.pixelHeight == pictureHeight;
  });
  if (candidates.empty()) {
    candidates = matching(known, [&](const WaylandOutput& output) {
      return sameSize(output.logical.width, output.logical.height, pictureWidth, pictureHeight);
    });
  }
  if (candidates.size() > 1 && portalFrame) {
    std::vector<const WaylandOutput*> narrowed = matching(candidates, [&](const WaylandOutput& output) {
      return sameSize(output.pixelWidth, output.pixelHeight, portalFrame->width, portalFrame->height) ||
             sameSize(output.logical.width, output.logical.height, portalFrame->width, portalFrame->height);
    });
    if (!narrowed.empty()) candidates = std::move(narrowed);
  }

  std::vector<ShareableDisplay> displays;
  for (const WaylandOutput* output : candidates) {
    displays.push_back(
        ShareableDisplay{displayID, output->logical, pictureWidth / output->logical.width, output->name});
  }
  if (displays.empty()) {
    DisplayRect frame = portalFrame.value_or(DisplayRect{0, 0, double(pictureWidth), double(pictureHeight)});
    if (!(frame.width > 0) || !(frame.height > 0)) frame = DisplayRect{0, 0, double(pictureWidth), double(pictureHeight)};
    displays.push_back(ShareableDisplay{displayID, frame, pictureWidth / frame.width, "portal"});
  }
  return displays;
}

}  // namespace rezoro::capture
