/* Run by the Wayland test desktop, never shipped: gives the compositor of WAYLAND_DISPLAY a pointer
 * device (wlroots' virtual pointer protocol) for as long as it runs. Headless sway has no input
 * device, so no pointer and no cursor; with this one its seat gains a pointer, which the compositor
 * draws. Prints "ready" once the compositor has the device; the pointer goes when the process
 * ends (the test stops it). */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <wayland-client.h>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

static void announced(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                      uint32_t version) {
  (void)version;
  struct zwlr_virtual_pointer_manager_v1 **manager = data;
  if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
    *manager = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
  }
}
static void removed(void *data, struct wl_registry *registry, uint32_t name) {
  (void)data;
  (void)registry;
  (void)name;
}
static const struct wl_registry_listener registry_listener = {announced, removed};

int main(void) {
  struct wl_display *display = wl_display_connect(NULL);
  if (!display) {
    fprintf(stderr, "no Wayland display\n");
    return 1;
  }
  struct zwlr_virtual_pointer_manager_v1 *manager = NULL;
  struct wl_registry *registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, &manager);
  wl_display_roundtrip(display);
  if (!manager) {
    fprintf(stderr, "the compositor offers no virtual pointers\n");
    return 1;
  }
  struct zwlr_virtual_pointer_v1 *pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, NULL);
  if (!pointer || wl_display_roundtrip(display) < 0) {
    fprintf(stderr, "no virtual pointer\n");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  while (wl_display_dispatch(display) >= 0) {
  }
  return 0;
}
