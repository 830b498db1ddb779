#include "capture/platform/x11/screen_layout.h"

#include <xcb/randr.h>

#include <algorithm>

namespace rezoro::capture {

std::vector<X11Monitor> x11Monitors(const XcbConnection& connection) {
  std::vector<X11Monitor> out;
  xcb_connection_t* c = connection.get();
  if (!extensionPresent(c, &xcb_randr_id)) return out;
  XcbReply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
  if (!version || (version->major_version == 1 && version->minor_version < 5)) return out;
  XcbReply<xcb_randr_get_monitors_reply_t> reply(
      xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection.root(), 1), nullptr));
  if (!reply) return out;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t& info = *it.data;
    if (info.width == 0 || info.height == 0) continue;
    out.push_back({info.name, {info.x, info.y, info.width, info.height}, info.primary != 0});
  }
  return out;
}

ScreenLayout x11ScreenLayout(const XcbConnection& connection) {
  ScreenLayout layout;
  xcb_connection_t* c = connection.get();
  // The connection's setup keeps the size the screen had when it was made.
  XcbReply<xcb_get_geometry_reply_t> root(xcb_get_geometry_reply(c, xcb_get_geometry(c, connection.root()), nullptr));
  if (root) {
    layout.width = root->width;
    layout.height = root->height;
  }
  layout.monitors = x11Monitors(connection);
  return layout;
}

std::optional<std::string> lostAreaReason(const PixelRect& area, std::optional<uint32_t> monitor,
                                          const ScreenLayout& layout) {
  const auto holds = [&area](const PixelRect& outer) { return area.intersection(outer) == area; };
  if (!holds({0, 0, layout.width, layout.height})) return "the recorded area is no longer on the screen";
  if (!monitor) return std::nullopt;
  const auto found = std::find_if(layout.monitors.begin(), layout.monitors.end(),
                                  [&](const X11Monitor& candidate) { return candidate.name == *monitor; });
  if (found == layout.monitors.end()) return "the recorded monitor is gone";
  if (!holds(found->frame)) return "the recorded area is no longer on its monitor";
  return std::nullopt;
}

}  // namespace rezoro::capture
