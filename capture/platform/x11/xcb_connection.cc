#include "capture/platform/x11/xcb_connection.h"

#include <cstring>

namespace rezoro::capture {

std::optional<XcbConnection> XcbConnection::open(std::string& error) {
  int screenNumber = 0;
  std::unique_ptr<xcb_connection_t, Disconnect> connection(xcb_connect(nullptr, &screenNumber));
  // xcb_connect never returns null: a failed connection is an object in the error state.
  if (xcb_connection_has_error(connection.get())) {
    error = "cannot connect to the X display";
    return std::nullopt;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem <= 0 || !screens.data) {
    error = "the X display has no such screen";
    return std::nullopt;
  }
  return XcbConnection(std::move(connection), screens.data);
}

xcb_atom_t XcbConnection::atom(const char* name, bool create) const {
  XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      get(), xcb_intern_atom(get(), create ? 0 : 1, static_cast<uint16_t>(std::strlen(name)), name),
      nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

}  // namespace rezoro::capture
