#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace rezoro::capture {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};
// A reply or error that xcb allocated with malloc.
template <class T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

// Whether the server offers `extension` (its data is cached by xcb after the first ask).
inline bool extensionPresent(xcb_connection_t* connection, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
  return data && data->present;
}

// One connection to the X server named by $DISPLAY, closed on release.
class XcbConnection {
 public:
  // Connects; on failure returns none and sets `error`.
  static std::optional<XcbConnection> open(std::string& error);

  xcb_connection_t* get() const { return connection_.get(); }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  // True once the connection has broken (server gone, protocol error that closed it).
  bool broken() const { return xcb_connection_has_error(connection_.get()) != 0; }
  // The atom of `name`, or XCB_ATOM_NONE when the server does not know it and `create` is false.
  xcb_atom_t atom(const char* name, bool create = false) const;

 private:
  struct Disconnect {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
  };
  XcbConnection(std::unique_ptr<xcb_connection_t, Disconnect> connection, xcb_screen_t* screen)
      : connection_(std::move(connection)), screen_(screen) {}

  std::unique_ptr<xcb_connection_t, Disconnect> connection_;
  xcb_screen_t* screen_ = nullptr;
};

}  // namespace rezoro::capture
