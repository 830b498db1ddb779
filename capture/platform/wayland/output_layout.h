#pragma once
// Which of the compositor's outputs a screen-cast stream shows, and where that output lies in the
// desktop's logical points: plain geometry, apart from the Wayland connection that learns it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/platform/shareable_content.h"

namespace rezoro::capture {

// One output as the compositor describes it to its clients.
struct WaylandOutput {
  std::string name;
  DisplayRect logical;  // xdg-output's logical position and size, in the desktop's points
  int pixelWidth = 0;   // the current mode, as shown (a quarter turn swaps the mode's sides)
  int pixelHeight = 0;
  int scale = 1;        // wl_output's whole-number scale, the one clients draw at
  bool operator==(const WaylandOutput&) const = default;
};

// `output` with its logical frame in points. A compositor that lays its desktop out in pixels
// (mutter without fractional scaling) reports an output's pixel size as its logical size and draws
// clients at its whole-number scale: its size in points is the pixels divided by that scale. Its
// position stays where the compositor puts it (such a layout has no common space of points for
// monitors of different scales; one monitor, at (0, 0), is exact). Any other output is returned as
// it is.
WaylandOutput inPoints(WaylandOutput output);

// The displays a stream of `pictureWidth` × `pictureHeight` pixels may show, each an output's
// logical frame with pixels per point = picture width / logical width.
//
// Matched on the pictures' size against each output's current mode in pixels (every compositor
// tried streams an output at its pixel size, whatever it reports); failing that, against its
// logical size (a stream in points). Several outputs of that size are narrowed to those whose
// pixel or logical size equals the portal's reported `size` (some portals report pixels, some
// points). The portal's `position` is not used: the wlroots portal reports (0, 0) for every
// output. Outputs still tied look alike to the stream: all of them are listed, in the
// compositor's order, and the recording's region picks the one that shows most of it.
// With no output of the pictures' size the portal's own frame stands (or the pictures' size at
// (0, 0)), at pixels per point = picture width / frame width.
std::vector<ShareableDisplay> streamDisplays(const std::vector<WaylandOutput>& outputs, int pictureWidth,
                                             int pictureHeight, const std::optional<DisplayRect>& portalFrame,
                                             uint32_t displayID);

}  // namespace rezoro::capture
