#include "capture/platform/wayland/wayland_outputs.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

#include "common/unique_fd.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace rezoro::capture {
namespace {

using Deadline = std::chrono::steady_clock::time_point;

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
struct ScreencopyCloser {
  void operator()(zwlr_screencopy_manager_v1* manager) const { zwlr_screencopy_manager_v1_destroy(manager); }
};
struct FrameCloser {
  void operator()(zwlr_screencopy_frame_v1* frame) const { zwlr_screencopy_frame_v1_destroy(frame); }
};
struct ShmCloser {
  void operator()(wl_shm* shm) const { wl_shm_destroy(shm); }  // bound at version 1, which has no release
};
struct PoolCloser {
  void operator()(wl_shm_pool* pool) const { wl_shm_pool_destroy(pool); }
};
struct BufferCloser {
  void operator()(wl_buffer* buffer) const { wl_buffer_destroy(buffer); }
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

// A shared-memory mapping, unmapped when released.
class Mapping {
 public:
  Mapping(int fd, size_t size) : size_(size) {
    void* at = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (at != MAP_FAILED) data_ = static_cast<uint8_t*>(at);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (data_ != nullptr) ::munmap(data_, size_);
  }
  uint8_t* data() const { return data_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_;
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

// The globals this file uses. Declared after the connection that carries them, so released before it.
struct Globals {
  std::unique_ptr<zxdg_output_manager_v1, ManagerCloser> outputManager;
  std::unique_ptr<zwlr_screencopy_manager_v1, ScreencopyCloser> screencopy;
  std::unique_ptr<wl_shm, ShmCloser> shm;
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
void outputScale(void* data, wl_output*, int32_t scale) { static_cast<OutputState*>(data)->described.scale = scale; }
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
  auto* known = static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_output_interface.name) == 0) {
    auto state = std::make_unique<OutputState>();
    state->globalName = name;
    // Version 4 names the output; older ones leave it to xdg-output.
    state->output.reset(static_cast<wl_output*>(
        wl_registry_bind(registry, name, &wl_output_interface, std::min<uint32_t>(version, 4))));
    wl_output_add_listener(state->output.get(), &kOutputListener, state.get());
    known->outputs.push_back(std::move(state));
  } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
    known->outputManager.reset(static_cast<zxdg_output_manager_v1*>(
        wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min<uint32_t>(version, 3))));
  } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0) {
    known->screencopy.reset(static_cast<zwlr_screencopy_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_screencopy_manager_v1_interface, std::min<uint32_t>(version, 3))));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    known->shm.reset(static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1)));
  }
}
void globalRemoved(void* data, wl_registry*, uint32_t name) {
  auto& outputs = static_cast<Globals*>(data)->outputs;
  std::erase_if(outputs, [name](const std::unique_ptr<OutputState>& state) { return state->globalName == name; });
}
const wl_registry_listener kRegistryListener = {globalAdded, globalRemoved};

// Reads and dispatches events until `done()` or `deadline`.
template <class Done>
bool dispatchUntil(wl_display* display, Deadline deadline, Done done) {
  while (!done()) {
    while (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) return false;
    }
    if (done()) {
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

void syncDone(void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }
const wl_callback_listener kSyncListener = {syncDone};

// Waits for every event the compositor sent before this request, until `deadline`.
bool roundTrip(wl_display* display, Deadline deadline) {
  bool done = false;
  std::unique_ptr<wl_callback, CallbackCloser> callback(wl_display_sync(display));
  if (!callback) return false;
  wl_callback_add_listener(callback.get(), &kSyncListener, &done);
  return dispatchUntil(display, deadline, [&] { return done; });
}

// A connection to the compositor with its globals bound and every output described.
class Compositor {
 public:
  bool connect(double seconds, std::string& message) {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                        std::chrono::duration<double>(std::isfinite(seconds) ? seconds : 0.0));
    display_.reset(wl_display_connect(nullptr));
    if (!display_) {
      message = "no Wayland compositor to ask for its outputs";
      return false;
    }
    registry_.reset(wl_display_get_registry(display_.get()));
    if (!registry_) {
      message = "the Wayland compositor gave no registry";
      return false;
    }
    wl_registry_add_listener(registry_.get(), &kRegistryListener, &globals_);
    // The globals, then every output's first description.
    if (!roundTrip(display_.get(), deadline_)) {
      message = "the Wayland compositor did not list its globals in time";
      return false;
    }
    if (!globals_.outputManager) {
      message = "the Wayland compositor offers no xdg-output";
      return false;
    }
    for (const auto& state : globals_.outputs) {
      state->xdgOutput.reset(zxdg_output_manager_v1_get_xdg_output(globals_.outputManager.get(), state->output.get()));
      zxdg_output_v1_add_listener(state->xdgOutput.get(), &kXdgOutputListener, state.get());
    }
    if (!roundTrip(display_.get(), deadline_)) {
      message = "the Wayland compositor did not describe its outputs in time";
      return false;
    }
    return true;
  }

  std::vector<WaylandOutput> outputs() const {
    std::vector<WaylandOutput> outputs;
    for (const auto& state : globals_.outputs) {
      if (!state->logicalSize) continue;
      WaylandOutput output = state->described;
      const bool quarterTurn = (state->transform & 1) != 0;  // 90 and 270, flipped or not
      output.pixelWidth = quarterTurn ? state->modeHeight : state->modeWidth;
      output.pixelHeight = quarterTurn ? state->modeWidth : state->modeHeight;
      outputs.push_back(inPoints(std::move(output)));
    }
    return outputs;
  }

  std::optional<OutputPicture> picture(const std::string& outputName, std::string& message);

 private:
  Deadline deadline_;
  std::unique_ptr<wl_display, DisplayCloser> display_;
  Globals globals_;
  std::unique_ptr<wl_registry, RegistryCloser> registry_;
};

// What the compositor says of one screen-copy frame.
struct FrameState {
  uint32_t format = 0, width = 0, height = 0, stride = 0;
  bool offered = false, described = false, ready = false, failed = false, yInverted = false;
};

void frameBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
                 uint32_t stride) {
  auto* frame = static_cast<FrameState*>(data);
  *frame = FrameState{format, width, height, stride, true, frame->described, false, false, frame->yInverted};
}
void frameFlags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
  static_cast<FrameState*>(data)->yInverted = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
}
void frameReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
  static_cast<FrameState*>(data)->ready = true;
}
void frameFailed(void* data, zwlr_screencopy_frame_v1*) { static_cast<FrameState*>(data)->failed = true; }
void frameDamage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void frameDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
void frameBufferDone(void* data, zwlr_screencopy_frame_v1*) { static_cast<FrameState*>(data)->described = true; }
const zwlr_screencopy_frame_v1_listener kFrameListener = {frameBuffer, frameFlags,  frameReady,    frameFailed,
                                                          frameDamage, frameDmabuf, frameBufferDone};

std::optional<PixelOrder> pixelOrder(uint32_t format) {
  switch (format) {
    case WL_SHM_FORMAT_ARGB8888:
    case WL_SHM_FORMAT_XRGB8888:
      return PixelOrder::bgra;  // little-endian words: B, G, R, A in memory
    case WL_SHM_FORMAT_ABGR8888:
    case WL_SHM_FORMAT_XBGR8888:
      return PixelOrder::rgba;
    default:
      return std::nullopt;
  }
}

std::optional<OutputPicture> Compositor::picture(const std::string& outputName, std::string& message) {
  if (!globals_.screencopy || !globals_.shm) {
    message = "the Wayland compositor offers no screen copy";
    return std::nullopt;
  }
  wl_output* output = nullptr;
  for (const auto& state : globals_.outputs) {
    if (state->described.name == outputName) output = state->output.get();
  }
  if (output == nullptr) {
    message = "the Wayland compositor has no output " + outputName;
    return std::nullopt;
  }
  FrameState state;
  std::unique_ptr<zwlr_screencopy_frame_v1, FrameCloser> frame(
      zwlr_screencopy_manager_v1_capture_output(globals_.screencopy.get(), 1, output));
  zwlr_screencopy_frame_v1_add_listener(frame.get(), &kFrameListener, &state);
  // Version 3 ends its offers with buffer_done; older ones offer the one buffer at once.
  const bool describesAll = zwlr_screencopy_frame_v1_get_version(frame.get()) >= 3;
  if (!dispatchUntil(display_.get(), deadline_,
                     [&] { return state.failed || (state.offered && (state.described || !describesAll)); }) ||
      state.failed) {
    message = "the Wayland compositor offered no buffer for a picture";
    return std::nullopt;
  }
  const std::optional<PixelOrder> order = pixelOrder(state.format);
  const std::optional<size_t> bytes = pictureBytes(state.width, state.height, state.stride);
  if (!order || !bytes) {
    message = "the Wayland compositor offered a picture in an unknown format";
    return std::nullopt;
  }
  const size_t size = *bytes;
  UniqueFd memory(::memfd_create("rezoro-output-picture", MFD_CLOEXEC));
  if (!memory || ::ftruncate(memory.get(), static_cast<off_t>(size)) != 0) {
    message = "no shared memory for a picture";
    return std::nullopt;
  }
  const Mapping mapping(memory.get(), size);
  if (mapping.data() == nullptr) {
    message = "no shared memory for a picture";
    return std::nullopt;
  }
  std::unique_ptr<wl_buffer, BufferCloser> buffer;
  {
    std::unique_ptr<wl_shm_pool, PoolCloser> pool(
        wl_shm_create_pool(globals_.shm.get(), memory.get(), static_cast<int32_t>(size)));
    buffer.reset(wl_shm_pool_create_buffer(pool.get(), 0, static_cast<int32_t>(state.width),
                                           static_cast<int32_t>(state.height), static_cast<int32_t>(state.stride),
                                           state.format));
  }
  zwlr_screencopy_frame_v1_copy(frame.get(), buffer.get());
  if (!dispatchUntil(display_.get(), deadline_, [&] { return state.ready || state.failed; }) || !state.ready) {
    message = "the Wayland compositor gave no picture in time";
    return std::nullopt;
  }
  OutputPicture picture{static_cast<int>(state.width), static_cast<int>(state.height),
                        static_cast<int>(state.width) * 4, *order, {}};
  const size_t row = static_cast<size_t>(picture.stride);
  picture.pixels.resize(row * state.height);
  for (uint32_t y = 0; y < state.height; ++y) {
    const uint32_t from = state.yInverted ? state.height - 1 - y : y;
    std::memcpy(picture.pixels.data() + row * y, mapping.data() + static_cast<size_t>(state.stride) * from, row);
  }
  return picture;
}

}  // namespace

std::optional<size_t> pictureBytes(uint32_t width, uint32_t height, uint32_t stride) {
  // In 64 bits: width × 4 and stride × height overflow 32.
  const uint64_t row = uint64_t{width} * 4, size = uint64_t{stride} * height;
  if (width < 1 || height < 1 || stride < row || size > (uint64_t{1} << 30)) return std::nullopt;
  return static_cast<size_t>(size);
}

std::optional<std::vector<WaylandOutput>> waylandOutputs(double seconds, std::string& message) {
  Compositor compositor;
  if (!compositor.connect(seconds, message)) return std::nullopt;
  return compositor.outputs();
}

std::optional<OutputPicture> outputPicture(const std::string& outputName, double seconds, std::string& message) {
  Compositor compositor;
  if (!compositor.connect(seconds, message)) return std::nullopt;
  return compositor.picture(outputName, message);
}

}  // namespace rezoro::capture
