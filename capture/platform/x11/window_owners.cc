#include "capture/platform/x11/window_owners.h"

#include <xcb/res.h>

#include <cstring>

namespace rezoro::capture {

std::vector<uint32_t> windowProperty32(const XcbConnection& connection, xcb_window_t window,
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

std::vector<xcb_window_t> childWindows(const XcbConnection& connection, xcb_window_t window) {
  XcbReply<xcb_query_tree_reply_t> tree(
      xcb_query_tree_reply(connection.get(), xcb_query_tree(connection.get(), window), nullptr));
  if (!tree) return {};
  const xcb_window_t* first = xcb_query_tree_children(tree.get());
  return std::vector<xcb_window_t>(first, first + xcb_query_tree_children_length(tree.get()));
}

WindowOwners::WindowOwners(const XcbConnection& connection) : connection_(connection) {
  xcb_connection_t* c = connection.get();
  if (extensionPresent(c, &xcb_res_id)) {
    // Client pids came with version 1.2.
    XcbReply<xcb_res_query_version_reply_t> version(
        xcb_res_query_version_reply(c, xcb_res_query_version(c, 1, 2), nullptr));
    resourceExtension_ = version && (version->server_major > 1 ||
                                     (version->server_major == 1 && version->server_minor >= 2));
  }
  pidAtom_ = connection.atom("_NET_WM_PID");
  stateAtom_ = connection.atom("WM_STATE");
}

xcb_window_t WindowOwners::clientWindow(xcb_window_t topLevel) const {
  auto isClient = [&](xcb_window_t window) {
    if (stateAtom_ == XCB_ATOM_NONE && pidAtom_ == XCB_ATOM_NONE) return false;
    XcbReply<xcb_get_property_reply_t> state, pid;
    xcb_connection_t* c = connection_.get();
    const auto stateCookie = xcb_get_property(c, 0, window, stateAtom_, XCB_ATOM_ANY, 0, 0);
    const auto pidCookie = xcb_get_property(c, 0, window, pidAtom_, XCB_ATOM_ANY, 0, 0);
    state.reset(xcb_get_property_reply(c, stateCookie, nullptr));
    pid.reset(xcb_get_property_reply(c, pidCookie, nullptr));
    return (state && state->type != XCB_ATOM_NONE) || (pid && pid->type != XCB_ATOM_NONE);
  };
  if (isClient(topLevel)) return topLevel;
  // A frame holds the client one or two levels down (frame, then sometimes a container).
  std::vector<xcb_window_t> level = childWindows(connection_, topLevel);
  for (int depth = 0; depth < 2 && !level.empty(); ++depth) {
    std::vector<xcb_window_t> next;
    for (xcb_window_t window : level) {
      if (isClient(window)) return window;
      if (depth == 0) {
        for (xcb_window_t child : childWindows(connection_, window)) next.push_back(child);
      }
    }
    level = std::move(next);
  }
  return topLevel;  // unmanaged (menus, tooltips): the window is its own client
}

pid_t WindowOwners::clientPid(xcb_window_t window) const {
  if (resourceExtension_) {
    xcb_connection_t* c = connection_.get();
    const xcb_res_client_id_spec_t clientId{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    XcbReply<xcb_res_query_client_ids_reply_t> reply(
        xcb_res_query_client_ids_reply(c, xcb_res_query_client_ids(c, 1, &clientId), nullptr));
    if (reply) {
      for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0;
           xcb_res_client_id_value_next(&it)) {
        // The server answers only the kind of id asked for: the local client's pid.
        if (xcb_res_client_id_value_value_length(it.data) >= 1) {
          if (const uint32_t pid = *xcb_res_client_id_value_value(it.data); pid > 0) return static_cast<pid_t>(pid);
        }
      }
    }
  }
  const std::vector<uint32_t> pid = windowProperty32(connection_, window, pidAtom_, XCB_ATOM_CARDINAL);
  return pid.empty() ? 0 : static_cast<pid_t>(pid.front());
}

WindowOwners::Owner WindowOwners::ownerOf(xcb_window_t topLevel) const {
  Owner owner;
  owner.client = clientWindow(topLevel);
  owner.pid = clientPid(owner.client);
  return owner;
}

}  // namespace rezoro::capture
