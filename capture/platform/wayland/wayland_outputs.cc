#include "capture/platform/wayland/wayland_outputs.h"

#include <poll.h>
#include <wayland-client.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

#include "xdg-output-unstable-v1-client-protocol.h"

namespace rezoro::capture {
namespace {

struct DisplayCloser {
  void operator()(wl_display* display) const { wl_display_disconnect(display); }
};
struct RegistryCloser {
  void operator()(wl_registry* registry) const { wl_registry_destroy(registry); }
};
struct ManagerCloser {
  void operator()(zxdg_output_manager_v1* manager) const {
    if (zxdg_output_manager_v1_get_version(manager) >= ZXDG_OUTPUT_MANAGER_V1_DESTROY_SINCE_VERSION) {
      zxdg_output_manager_v1_destroy(manager);
    } else {
      wl_proxy_destroy(reinterpret_cast<wl_proxy*>(manager));
    }
  }
};
struct OutputCloser {
  void operator()(wl_output* output) const {
    if (wl_output_get_version(output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) wl_output_release(output);
    else wl_output_destroy(output);
  }
};
struct XdgOutputCloser {
  void operator()(zxdg_output_v1* output) const { zxdg_output_v1_destroy(output); }
};
struct CallbackCloser {
  void operator()(wl_callback* callback) const { wl_callback_destroy(callback); }
};

// One output as its events describe it.
struct OutputState {
  uint32_t globalName = 0;
  std::unique_ptr<wl_output, OutputCloser> output;
  std::unique_ptr<zxdg_output_v1, XdgOutputCloser> xdgOutput;
  WaylandOutput described;
  int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
  int modeWidth = 0, modeHeight = 0;
  bool logicalSize = false;
};

struct Registry {
  std::unique_ptr<zxdg_output_manager_v1, ManagerCloser> manager;
  std::vector<std::unique_ptr<OutputState>> outputs;
};

void outputGeometry(void* data, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*,
                    int32_t transform) {
  static_cast<OutputState*>(data)->transform = transform;
}
void outputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
  if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
  auto* state = static_cast<OutputState*>(data);
  state->modeWidth = width;
  state->modeHeight = height;
}
void outputDone(void*, wl_output*) {}
void outputScale(void*, wl_output*, int32_t) {}
void outputName(void* data, wl_output*, const char* name) {
  auto* state = static_cast<OutputState*>(data);
  if (state->described.name.empty()) state->described.name = name;
}
void outputDescription(void*, wl_output*, const char*) {}
const wl_output_listener kOutputListener = {outputGeometry, outputMode,  outputDone,
                                            outputScale,    outputName, outputDescription};

void xdgPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
  auto* state = static_cast<OutputState*>(data);
  state->described.logical.x = x;
  state->described.logical.y = y;
}
void xdgSize(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
  auto* state = static_cast<OutputState*>(data);
  state->described.logical.width = width;
  state->described.logical.height = height;
  state->logicalSize = true;
}
void xdgDone(void*, zxdg_output_v1*) {}
void xdgName(void* data, zxdg_output_v1*, const char* name) { static_cast<OutputState*>(data)->described.name = name; }
void xdgDescription(void*, zxdg_output_v1*, const char*) {}
const zxdg_output_v1_listener kXdgOutputListener = {xdgPosition, xdgSize, xdgDone, xdgName, xdgDescription};

void globalAdded(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  auto* known = static_cast<Registry*>(data);
  if (std::strcmp(interface, wl_output_interface.name) == 0) {
    auto state = std::make_unique<OutputState>();
    state->globalName = name;
    // Version 4 names the output; older ones leave it to xdg-output.
    state->output.reset(static_cast<wl_output*>(
        wl_registry_bind(registry, name, &wl_output_interface, std::min<uint32_t>(version, 4))));
    wl_output_add_listener(state->output.get(), &kOutputListener, state.get());
    known->outputs.push_back(std::move(state));
  } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
    known->manager.reset(static_cast<zxdg_output_manager_v1*>(
        wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min<uint32_t>(version, 3))));
  }
}
void globalRemoved(void* data, wl_registry*, uint32_t name) {
  auto& outputs = static_cast<Registry*>(data)->outputs;
  std::erase_if(outputs, [name](const std::unique_ptr<OutputState>& state) { return state->globalName == name; });
}
const wl_registry_listener kRegistryListener = {globalAdded, globalRemoved};

void syncDone(void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }
const wl_callback_listener kSyncListener = {syncDone};

// Waits for every event the compositor sent before this request, until `deadline`.
bool roundTrip(wl_display* display, std::chrono::steady_clock::time_point deadline) {
  bool done = false;
  std::unique_ptr<wl_callback, CallbackCloser> callback(wl_display_sync(display));
  if (!callback) return false;
  wl_callback_add_listener(callback.get(), &kSyncListener, &done);
  while (!done) {
    while (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) return false;
    }
    if (done) {
      wl_display_cancel_read(display);
      break;
    }
    wl_display_flush(display);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{wl_display_get_fd(display), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      wl_display_cancel_read(display);
      return false;
    }
    if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) return false;
  }
  return true;
}

}  // namespace

std::optional<std::vector<WaylandOutput>> waylandOutputs(double seconds, std::string& message) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(std::isfinite(seconds) ? seconds : 0.0));
  std::unique_ptr<wl_display, DisplayCloser> display(wl_display_connect(nullptr));
  if (!display) {
    message = "no Wayland compositor to ask for its outputs";
    return std::nullopt;
  }
  // Declared after the connection: the proxies go before the connection that carries them.
  Registry known;
  std::unique_ptr<wl_registry, RegistryCloser> registry(wl_display_get_registry(display.get()));
  if (!registry) {
    message = "the Wayland compositor gave no registry";
    return std::nullopt;
  }
  wl_registry_add_listener(registry.get(), &kRegistryListener, &known);
  // The globals, then every output's first description.
  if (!roundTrip(display.get(), deadline)) {
    message = "the Wayland compositor did not list its globals in time";
    return std::nullopt;
  }
  if (!known.manager) {
    message = "the Wayland compositor offers no xdg-output";
    return std::nullopt;
  }
  for (const auto& state : known.outputs) {
    state->xdgOutput.reset(zxdg_output_manager_v1_get_xdg_output(known.manager.get(), state->output.get()));
    zxdg_output_v1_add_listener(state->xdgOutput.get(), &kXdgOutputListener, state.get());
  }
  if (!roundTrip(display.get(), deadline)) {
    message = "the Wayland compositor did not describe its outputs in time";
    return std::nullopt;
  }
  std::vector<WaylandOutput> outputs;
  for (const auto& state : known.outputs) {
    if (!state->logicalSize) continue;
    WaylandOutput output = state->described;
    const bool quarterTurn = (state->transform & 1) != 0;  // 90 and 270, flipped or not
    output.pixelWidth = quarterTurn ? state->modeHeight : state->modeWidth;
    output.pixelHeight = quarterTurn ? state->modeWidth : state->modeHeight;
    outputs.push_back(std::move(output));
  }
  return outputs;
}

}  // namespace rezoro::capture
