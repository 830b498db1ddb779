#include "capture/platform/x11/x11_shareable_content.h"

#include <xcb/randr.h>

#include <algorithm>
#include <cstring>
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

bool randrMonitorsAvailable(const XcbConnection& connection) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection.get(), &xcb_randr_id);
  if (!extension || !extension->present) return false;
  XcbReply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
      connection.get(), xcb_randr_query_version(connection.get(), 1, 5), nullptr));
  return version && (version->major_version > 1 ||
                     (version->major_version == 1 && version->minor_version >= 5));
}

struct Monitor {
  ShareableDisplay display;
  bool primary = false;
};

std::vector<Monitor> monitors(const XcbConnection& connection) {
  std::vector<Monitor> out;
  if (randrMonitorsAvailable(connection)) {
    XcbReply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
        connection.get(), xcb_randr_get_monitors(connection.get(), connection.root(), 1), nullptr));
    if (reply) {
      for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
           xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t& info = *it.data;
        if (info.width == 0 || info.height == 0) continue;
        Monitor monitor;
        monitor.display.displayID = info.name;
        monitor.display.frame = {static_cast<double>(info.x), static_cast<double>(info.y),
                                 static_cast<double>(info.width), static_cast<double>(info.height)};
        monitor.display.name = atomName(connection, info.name);
        monitor.primary = info.primary != 0;
        out.push_back(std::move(monitor));
      }
    }
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

// Values of a 32-bit property (CARDINAL, WINDOW or ATOM); empty when absent.
std::vector<uint32_t> property32(const XcbConnection& connection, xcb_window_t window,
                                 xcb_atom_t property, xcb_atom_t type) {
  if (property == XCB_ATOM_NONE) return {};
  XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      connection.get(), xcb_get_property(connection.get(), 0, window, property, type, 0, 4096),
      nullptr));
  if (!reply || reply->format != 32 || reply->type != type) return {};
  // Copied by size rather than by a pointer range: GCC 12 at -O3 takes the range's end for a heap
  // pointer with an offset and warns (free-nonheap-object) on the vector's release.
  const int length = xcb_get_property_value_length(reply.get());
  std::vector<uint32_t> values(length > 0 ? static_cast<size_t>(length) / 4 : 0);
  if (!values.empty()) std::memcpy(values.data(), xcb_get_property_value(reply.get()), values.size() * 4);
  return values;
}

std::vector<xcb_window_t> children(const XcbConnection& connection, xcb_window_t window) {
  XcbReply<xcb_query_tree_reply_t> tree(
      xcb_query_tree_reply(connection.get(), xcb_query_tree(connection.get(), window), nullptr));
  if (!tree) return {};
  const xcb_window_t* first = xcb_query_tree_children(tree.get());
  return std::vector<xcb_window_t>(first, first + xcb_query_tree_children_length(tree.get()));
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
  const xcb_atom_t pidAtom = connection.atom("_NET_WM_PID");
  const xcb_atom_t typeAtom = connection.atom("_NET_WM_WINDOW_TYPE");
  const xcb_atom_t desktopAtom = connection.atom("_NET_WM_WINDOW_TYPE_DESKTOP");
  if (pidAtom == XCB_ATOM_NONE) return {};  // no client ever set one

  // A top-level window is a child of the root; under a reparenting window manager the client
  // window holding _NET_WM_PID is a child of that frame.
  struct Owner {
    xcb_window_t client;
    uint32_t pid;
  };
  auto owner = [&](xcb_window_t window) -> std::optional<Owner> {
    if (auto pid = property32(connection, window, pidAtom, XCB_ATOM_CARDINAL); !pid.empty()) {
      return Owner{window, pid.front()};
    }
    for (xcb_window_t child : children(connection, window)) {
      if (auto pid = property32(connection, child, pidAtom, XCB_ATOM_CARDINAL); !pid.empty()) {
        return Owner{child, pid.front()};
      }
    }
    return std::nullopt;
  };

  std::vector<ShareableApplication> out;
  std::set<uint32_t> seen;
  for (xcb_window_t window : children(connection, connection.root())) {
    if (onScreenWindowsOnly && !isViewable(connection, window)) continue;
    const std::optional<Owner> found = owner(window);
    if (!found || found->pid == 0 || seen.contains(found->pid)) continue;
    if (excludingDesktopWindows && desktopAtom != XCB_ATOM_NONE) {
      const auto types = property32(connection, found->client, typeAtom, XCB_ATOM_ATOM);
      if (std::find(types.begin(), types.end(), desktopAtom) != types.end()) continue;
    }
    seen.insert(found->pid);
    ShareableApplication application;
    application.processID = static_cast<pid_t>(found->pid);
    application.applicationName = processName(application.processID);
    if (application.applicationName.empty()) {
      application.applicationName = windowClass(connection, found->client);
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
