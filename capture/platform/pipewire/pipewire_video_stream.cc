#include "capture/platform/pipewire/pipewire_video_stream.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/buffer/meta.h>
#include <time.h>

#include <cmath>
#include <cstring>
#include <mutex>

namespace rezoro::capture {
namespace {

double monotonicSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// pw_init once per process, with the library's log silenced: neither program writes anything of
// its own to stderr.
void initialisePipeWire() {
  static std::once_flag once;
  std::call_once(once, [] {
    pw_init(nullptr, nullptr);
    pw_log_set_level(SPA_LOG_LEVEL_NONE);
  });
}

std::optional<PixelOrder> pixelOrder(uint32_t format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      return PixelOrder::bgra;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      return PixelOrder::rgba;
    default:
      return std::nullopt;
  }
}

// A producer's timestamp is used when it is on our clock; anything further than this from now is
// taken to be on another one.
constexpr double kPlausibleStampSeconds = 1.0;

}  // namespace

std::optional<VideoFrame> frameInBuffer(const spa_buffer& buffer, int width, int height, PixelOrder order,
                                        double now) {
  if (buffer.n_datas < 1 || buffer.datas == nullptr || width < 1 || height < 1) return std::nullopt;
  const spa_data& data = buffer.datas[0];
  if (data.data == nullptr || data.chunk == nullptr || data.chunk->size == 0 ||
      (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0 ||
      (data.type != SPA_DATA_MemPtr && data.type != SPA_DATA_MemFd)) {
    return std::nullopt;
  }
  VideoFrame frame;
  frame.width = width;
  frame.height = height;
  frame.stride = data.chunk->stride > 0 ? data.chunk->stride : width * 4;
  frame.order = order;
  frame.hostSeconds = now;
  if (auto* header = static_cast<spa_meta_header*>(
          spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
    if ((header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0) return std::nullopt;
    const double pts = static_cast<double>(header->pts) * 1e-9;
    if (header->pts > 0 && std::fabs(pts - now) < kPlausibleStampSeconds) frame.hostSeconds = pts;
  }
  // The chunk's offset is taken modulo the memory's size.
  const uint64_t offset = data.maxsize > 0 ? data.chunk->offset % data.maxsize : 0;
  const uint64_t needed = static_cast<uint64_t>(frame.stride) * (height - 1) + static_cast<uint64_t>(width) * 4;
  if (frame.stride < width * 4 || offset + needed > data.maxsize || needed > data.chunk->size) return std::nullopt;
  frame.pixels = static_cast<const uint8_t*>(data.data) + offset;
  return frame;
}

struct PipeWireVideoStream::Private {
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  pw_registry* registry = nullptr;
  uint32_t node = 0;
  spa_hook registryListener{};
  pw_registry_events registryEvents{};
  spa_hook coreListener{};
  spa_hook streamListener{};
  pw_core_events coreEvents{};
  pw_stream_events streamEvents{};

  // Touched on the loop's thread, or with the loop locked.
  bool negotiated = false;
  bool streaming = false;
  bool failed = false;
  std::string failure;
  spa_video_info_raw format{};
  PixelOrder order = PixelOrder::bgra;
  FrameHandler onFrame;
  FailureHandler onFailure;
  std::vector<uint8_t> held;  // the newest picture while there is no frame handler
  bool holding = false;

  void fail(const std::string& message) {
    if (failed) return;
    failed = true;
    failure = message;
    pw_thread_loop_signal(loop, false);
    if (onFailure) onFailure(message);
  }

  static void coreError(void* self, uint32_t id, int, int, const char* message) {
    if (id == PW_ID_CORE) {
      static_cast<Private*>(self)->fail(std::string("the PipeWire connection failed: ") + (message ? message : ""));
    }
  }

  // The producer's node going away (the portal's backend ended the cast, or died) leaves the stream
  // waiting for pictures that never come: that is the end of it.
  static void globalRemoved(void* self, uint32_t id) {
    auto* p = static_cast<Private*>(self);
    if (id == p->node) p->fail("the screen's PipeWire node went away");
  }

  static void stateChanged(void* self, enum pw_stream_state, enum pw_stream_state state, const char* error) {
    auto* p = static_cast<Private*>(self);
    if (state == PW_STREAM_STATE_STREAMING) p->streaming = true;
    if (state == PW_STREAM_STATE_ERROR) p->fail(std::string("the screen stream failed: ") + (error ? error : ""));
    if (state == PW_STREAM_STATE_UNCONNECTED) p->fail("the screen stream was disconnected");
  }

  static void paramChanged(void* self, uint32_t id, const spa_pod* param) {
    auto* p = static_cast<Private*>(self);
    if (param == nullptr || id != SPA_PARAM_Format) return;
    uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0 ||
        !pixelOrder(info.format) || info.size.width < 1 || info.size.height < 1) {
      p->fail("the screen stream offered no usable format");
      return;
    }
    p->format = info;
    p->order = *pixelOrder(info.format);
    p->holding = false;

    uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(p->stream, params, 2);
    p->negotiated = true;
    pw_thread_loop_signal(p->loop, false);
  }

  // Every buffer that is ready is taken, oldest first: one call may find several, and one left in
  // the queue would wait for the next picture, which a still screen never sends (the last change
  // of a burst would be lost).
  static void process(void* self) {
    auto* p = static_cast<Private*>(self);
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(p->stream)) {
      p->take(*buffer->buffer);
      pw_stream_queue_buffer(p->stream, buffer);
    }
  }

  void take(const spa_buffer& buffer) {
    if (!negotiated) return;
    std::optional<VideoFrame> picture = frameInBuffer(buffer, static_cast<int>(format.size.width),
                                                      static_cast<int>(format.size.height), order, monotonicSeconds());
    if (!picture) return;
    const VideoFrame& frame = *picture;
    if (onFrame) {
      onFrame(frame);
    } else {
      const size_t row = static_cast<size_t>(frame.width) * 4;
      held.resize(row * frame.height);
      for (int y = 0; y < frame.height; ++y) {
        std::memcpy(held.data() + row * y, frame.pixels + static_cast<size_t>(frame.stride) * y, row);
      }
      holding = true;
    }
  }
};

std::unique_ptr<PipeWireVideoStream> PipeWireVideoStream::connect(UniqueFd remote, uint32_t node,
                                                                  double timeoutSeconds, std::string& error) {
  initialisePipeWire();
  std::unique_ptr<PipeWireVideoStream> result(new PipeWireVideoStream);
  result->private_ = std::make_unique<Private>();
  Private& p = *result->private_;
  p.loop = pw_thread_loop_new("rezoro-screen", nullptr);
  if (p.loop == nullptr) {
    error = "cannot make a PipeWire loop";
    return nullptr;
  }
  p.context = pw_context_new(pw_thread_loop_get_loop(p.loop),
                             pw_properties_new(PW_KEY_CONFIG_NAME, "client.conf", "log.level", "0", nullptr), 0);
  if (p.context == nullptr || pw_thread_loop_start(p.loop) < 0) {
    error = "cannot start a PipeWire loop";
    return nullptr;
  }

  pw_thread_loop_lock(p.loop);
  auto unlockAndFail = [&](const char* message) {
    pw_thread_loop_unlock(p.loop);
    error = message;
    return nullptr;
  };
  p.core = pw_context_connect_fd(p.context, remote.release(), nullptr, 0);
  if (p.core == nullptr) return unlockAndFail("cannot connect to PipeWire through the portal");
  p.coreEvents.version = PW_VERSION_CORE_EVENTS;
  p.coreEvents.error = &Private::coreError;
  pw_core_add_listener(p.core, &p.coreListener, &p.coreEvents, &p);

  p.node = node;
  p.registry = pw_core_get_registry(p.core, PW_VERSION_REGISTRY, 0);
  if (p.registry == nullptr) return unlockAndFail("cannot watch the PipeWire graph");
  p.registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
  p.registryEvents.global_remove = &Private::globalRemoved;
  pw_registry_add_listener(p.registry, &p.registryListener, &p.registryEvents, &p);

  p.stream = pw_stream_new(p.core, "rezoro-capture",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (p.stream == nullptr) return unlockAndFail("cannot make a PipeWire stream");
  p.streamEvents.version = PW_VERSION_STREAM_EVENTS;
  p.streamEvents.state_changed = &Private::stateChanged;
  p.streamEvents.param_changed = &Private::paramChanged;
  p.streamEvents.process = &Private::process;
  pw_stream_add_listener(p.stream, &p.streamListener, &p.streamEvents, &p);

  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_rectangle defaultSize = SPA_RECTANGLE(1920, 1080), smallest = SPA_RECTANGLE(1, 1),
                largest = SPA_RECTANGLE(16384, 16384);
  spa_fraction defaultRate = SPA_FRACTION(30, 1), slowest = SPA_FRACTION(0, 1), fastest = SPA_FRACTION(1000, 1);
  const spa_pod* formats = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &smallest, &largest),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &slowest, &fastest)));
  if (pw_stream_connect(p.stream, PW_DIRECTION_INPUT, node,
                        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                        &formats, 1) < 0) {
    return unlockAndFail("cannot connect the PipeWire stream");
  }

  timespec deadline{};
  pw_thread_loop_get_time(p.loop, &deadline, static_cast<int64_t>(timeoutSeconds * SPA_NSEC_PER_SEC));
  while (!p.negotiated && !p.failed) {
    if (pw_thread_loop_timed_wait_full(p.loop, &deadline) != 0) break;  // timed out
  }
  const bool ready = p.negotiated && !p.failed;
  error = p.failed ? p.failure : "the screen stream agreed on no format in time";
  result->width_ = static_cast<int>(p.format.size.width);
  result->height_ = static_cast<int>(p.format.size.height);
  pw_thread_loop_unlock(p.loop);
  if (!ready) return nullptr;
  error.clear();
  return result;
}

void PipeWireVideoStream::setHandlers(FrameHandler onFrame, FailureHandler onFailure) {
  Private& p = *private_;
  pw_thread_loop_lock(p.loop);
  p.onFrame = std::move(onFrame);
  p.onFailure = std::move(onFailure);
  if (p.failed && p.onFailure) {
    p.onFailure(p.failure);
  } else if (p.onFrame && p.holding) {
    VideoFrame frame;
    frame.pixels = p.held.data();
    frame.width = static_cast<int>(p.format.size.width);
    frame.height = static_cast<int>(p.format.size.height);
    frame.stride = frame.width * 4;
    // A format change since the picture was held drops it (holding is reset with the format).
    if (p.held.size() == static_cast<size_t>(frame.stride) * frame.height) {
      frame.order = p.order;
      frame.hostSeconds = monotonicSeconds();
      p.onFrame(frame);
    }
    p.holding = false;
  }
  pw_thread_loop_unlock(p.loop);
}

PipeWireVideoStream::~PipeWireVideoStream() {
  if (!private_) return;
  Private& p = *private_;
  if (p.loop) pw_thread_loop_stop(p.loop);
  // Tearing down reports the stream as disconnected; nobody is listening any more.
  p.onFrame = nullptr;
  p.onFailure = nullptr;
  if (p.stream) pw_stream_destroy(p.stream);
  if (p.registry) {
    spa_hook_remove(&p.registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(p.registry));
  }
  if (p.core) pw_core_disconnect(p.core);
  if (p.context) pw_context_destroy(p.context);
  if (p.loop) pw_thread_loop_destroy(p.loop);
}

}  // namespace rezoro::capture
