#include "capture/platform/x11/x11_shareable_content.h"

#include "capture/platform/x11/screen_layout.h"
#include "capture/platform/x11/window_owners.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <vector>

namespace rezoro::capture {
namespace {

std::string atomName(const XcbConnection& connection, xcb_atom_t atom) {
  XcbReply<xcb_get_atom_name_reply_t> reply(
      xcb_get_atom_name_reply(connection.get(), xcb_get_atom_name(connection.get(), atom), nullptr));
  if (!reply) return {};
  return std::string(xcb_get_atom_name_name(reply.get()),
                     static_cast<size_t>(xcb_get_atom_name_name_length(reply.get())));
}

struct Monitor {
  ShareableDisplay display;
  bool primary = false;
};

std::vector<Monitor> monitors(const XcbConnection& connection) {
  std::vector<Monitor> out;
  for (const X11Monitor& found : x11Monitors(connection)) {
    Monitor monitor;
    monitor.display.displayID = found.name;
    monitor.display.frame = {static_cast<double>(found.frame.x), static_cast<double>(found.frame.y),
                             static_cast<double>(found.frame.width), static_cast<double>(found.frame.height)};
    monitor.display.name = atomName(connection, found.name);
    monitor.primary = found.primary;
    out.push_back(std::move(monitor));
  }
  if (out.empty()) {
    Monitor whole;
    whole.display.displayID = connection.root();
    whole.display.frame = {0, 0, static_cast<double>(connection.screen()->width_in_pixels),
                           static_cast<double>(connection.screen()->height_in_pixels)};
    whole.display.name = "screen";
    whole.primary = true;
    out.push_back(std::move(whole));
  }
  return out;
}

bool isViewable(const XcbConnection& connection, xcb_window_t window) {
  XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
      connection.get(), xcb_get_window_attributes(connection.get(), window), nullptr));
  return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

std::string processName(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (comm && std::getline(comm, name)) return name;
  return {};
}

std::string windowClass(const XcbConnection& connection, xcb_window_t window) {
  XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      connection.get(),
      xcb_get_property(connection.get(), 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256),
      nullptr));
  if (!reply || reply->format != 8) return {};
  const char* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
  const std::string both(value, static_cast<size_t>(xcb_get_property_value_length(reply.get())));
  // "instance\0class\0": the class is the second string.
  const size_t split = both.find('\0');
  if (split == std::string::npos) return both;
  const std::string cls = both.substr(split + 1);
  return cls.substr(0, cls.find('\0'));
}

}  // namespace

std::vector<ShareableDisplay> x11Displays(const XcbConnection& connection) {
  std::vector<ShareableDisplay> out;
  for (auto& monitor : monitors(connection)) out.push_back(std::move(monitor.display));
  return out;
}

uint32_t x11MainDisplayID(const XcbConnection& connection) {
  const std::vector<Monitor> all = monitors(connection);
  const auto primary = std::find_if(all.begin(), all.end(), [](const Monitor& m) { return m.primary; });
  return primary != all.end() ? primary->display.displayID : all.front().display.displayID;
}

std::vector<ShareableApplication> x11Applications(const XcbConnection& connection,
                                                  bool excludingDesktopWindows,
                                                  bool onScreenWindowsOnly) {
  const xcb_atom_t typeAtom = connection.atom("_NET_WM_WINDOW_TYPE");
  const xcb_atom_t desktopAtom = connection.atom("_NET_WM_WINDOW_TYPE_DESKTOP");
  const WindowOwners owners(connection);

  std::vector<ShareableApplication> out;
  std::set<uint32_t> seen;
  for (xcb_window_t window : childWindows(connection, connection.root())) {
    if (onScreenWindowsOnly && !isViewable(connection, window)) continue;
    const WindowOwners::Owner found = owners.ownerOf(window);
    if (found.pid == 0 || seen.contains(static_cast<uint32_t>(found.pid))) continue;
    if (excludingDesktopWindows && desktopAtom != XCB_ATOM_NONE) {
      const auto types = windowProperty32(connection, found.client, typeAtom, XCB_ATOM_ATOM);
      if (std::find(types.begin(), types.end(), desktopAtom) != types.end()) continue;
    }
    seen.insert(static_cast<uint32_t>(found.pid));
    ShareableApplication application;
    application.processID = found.pid;
    application.applicationName = processName(application.processID);
    if (application.applicationName.empty()) {
      application.applicationName = windowClass(connection, found.client);
    }
    out.push_back(std::move(application));
  }
  return out;
}

bool x11ScreenReadable() {
  std::string error;
  std::optional<XcbConnection> connection = XcbConnection::open(error);
  if (!connection) return false;
  XcbReply<xcb_generic_error_t> failure;
  xcb_generic_error_t* raw = nullptr;
  XcbReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
      connection->get(),
      xcb_get_image(connection->get(), XCB_IMAGE_FORMAT_Z_PIXMAP, connection->root(), 0, 0, 1, 1,
                    ~0u),
      &raw));
  failure.reset(raw);
  return image && !failure && xcb_get_image_data_length(image.get()) > 0;
}

}  // namespace rezoro::capture
