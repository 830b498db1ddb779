#include "capture/platform/x11/x11_screen_access.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace rezoro::capture {
namespace {

struct ConnectionCloser {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
struct ReplyFree {
  void operator()(void* reply) const { std::free(reply); }
};

}  // namespace

ScreenAccess checkScreenAccess() {
  ScreenAccess access;
  int screenNumber = 0;
  // xcb_connect always returns an object; a failed one reports it through has_error and must still
  // be disconnected.
  const std::unique_ptr<xcb_connection_t, ConnectionCloser> connection(
      xcb_connect(nullptr, &screenNumber));
  if (!connection || xcb_connection_has_error(connection.get()) != 0) return access;
  access.supported = true;

  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem <= 0) return access;

  xcb_generic_error_t* rawError = nullptr;
  const std::unique_ptr<xcb_get_image_reply_t, ReplyFree> image(xcb_get_image_reply(
      connection.get(),
      xcb_get_image(connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, screens.data->root, 0, 0, 1, 1,
                    ~0u),
      &rawError));
  const std::unique_ptr<xcb_generic_error_t, ReplyFree> error(rawError);
  access.screenPermission = image != nullptr && error == nullptr;
  return access;
}

}  // namespace rezoro::capture
