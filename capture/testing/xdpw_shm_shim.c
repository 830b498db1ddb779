/* Loaded into xdg-desktop-portal-wlr by the Wayland test desktop (LD_PRELOAD), never shipped.
 *
 * xdg-desktop-portal-wlr 0.7 starts a cast only after the compositor's screencopy frame has sent a
 * linux_dmabuf event, which a compositor without a GPU (wlroots with the pixman renderer) never
 * sends. This wraps the listener of zwlr_screencopy_frame_v1 and follows each wl_shm `buffer` event
 * with a synthesised `linux_dmabuf` event of the same format and size; with no zwp_linux_dmabuf_v1
 * global the portal then still negotiates shared-memory buffers only.
 *
 * It also stands in for a desktop's "stop sharing" control, which xdg-desktop-portal-wlr 0.7 does
 * not have: once the file named by REZORO_END_CAST_FILE appears, the backend emits the Closed
 * signal of its newest screen-cast session (as GNOME's and KDE's backends do when the person stops
 * sharing) from its own bus connection, and the file is removed. The backend's main loop polls;
 * its waits are cut to 100 ms so that the file is noticed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef struct sd_bus sd_bus;
typedef struct sd_bus_slot sd_bus_slot;
extern int sd_bus_emit_signal(sd_bus *bus, const char *path, const char *interface, const char *member,
                              const char *types, ...);
extern int sd_bus_flush(sd_bus *bus);

struct wl_proxy;
extern const char *wl_proxy_get_class(struct wl_proxy *proxy);

typedef void (*listener_fn)(void);
typedef void (*buffer_fn)(void *, void *, uint32_t, uint32_t, uint32_t, uint32_t);
typedef void (*dmabuf_fn)(void *, void *, uint32_t, uint32_t, uint32_t);
typedef int (*add_listener_fn)(struct wl_proxy *, listener_fn *, void *);

/* zwlr_screencopy_frame_v1 version 3 events, in order:
 * buffer, flags, ready, failed, damage, linux_dmabuf, buffer_done. */
enum { kBuffer = 0, kLinuxDmabuf = 5, kEvents = 7 };
static listener_fn original[kEvents], wrapped[kEvents];

static uint32_t drm_format(uint32_t shm_format) {
  if (shm_format == 0) return 0x34325241; /* ARGB8888 -> DRM AR24 */
  if (shm_format == 1) return 0x34325258; /* XRGB8888 -> DRM XR24 */
  return shm_format;                      /* the other wl_shm codes are DRM codes already */
}

static void buffer_then_dmabuf(void *data, void *frame, uint32_t format, uint32_t width,
                               uint32_t height, uint32_t stride) {
  ((buffer_fn)original[kBuffer])(data, frame, format, width, height, stride);
  if (original[kLinuxDmabuf]) ((dmabuf_fn)original[kLinuxDmabuf])(data, frame, drm_format(format), width, height);
}

int wl_proxy_add_listener(struct wl_proxy *proxy, listener_fn *implementation, void *data) {
  static add_listener_fn real;
  if (!real) {
    void *symbol = dlsym(RTLD_NEXT, "wl_proxy_add_listener");
    memcpy(&real, &symbol, sizeof real);
  }
  if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") == 0) {
    if (!original[kBuffer]) {
      memcpy(original, implementation, sizeof original);
      memcpy(wrapped, implementation, sizeof wrapped);
      wrapped[kBuffer] = (listener_fn)buffer_then_dmabuf;
    }
    implementation = wrapped;
  }
  return real(proxy, implementation, data);
}

/* The newest object of org.freedesktop.impl.portal.Session the backend put on the bus. */
static sd_bus *session_bus;
static char session_path[512];

typedef int (*add_vtable_fn)(sd_bus *, sd_bus_slot **, const char *, const char *, const void *, void *);

int sd_bus_add_object_vtable(sd_bus *bus, sd_bus_slot **slot, const char *path, const char *interface,
                             const void *vtable, void *userdata) {
  static add_vtable_fn real;
  if (!real) {
    void *symbol = dlsym(RTLD_NEXT, "sd_bus_add_object_vtable");
    memcpy(&real, &symbol, sizeof real);
  }
  if (interface && path && strcmp(interface, "org.freedesktop.impl.portal.Session") == 0 &&
      strlen(path) < sizeof session_path) {
    session_bus = bus;
    strcpy(session_path, path);
  }
  return real(bus, slot, path, interface, vtable, userdata);
}

typedef int (*poll_fn)(struct pollfd *, nfds_t, int);

int poll(struct pollfd *fds, nfds_t count, int timeout) {
  static poll_fn real;
  if (!real) {
    void *symbol = dlsym(RTLD_NEXT, "poll");
    memcpy(&real, &symbol, sizeof real);
  }
  const char *trigger = getenv("REZORO_END_CAST_FILE");
  if (!trigger) return real(fds, count, timeout);
  if (session_bus && access(trigger, F_OK) == 0 && unlink(trigger) == 0) {
    sd_bus_emit_signal(session_bus, session_path, "org.freedesktop.impl.portal.Session", "Closed", "");
    sd_bus_flush(session_bus);
  }
  return real(fds, count, timeout < 0 || timeout > 100 ? 100 : timeout);
}
