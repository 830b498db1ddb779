#include "capture/platform/x11/x11_capture_stream.h"

#include <libyuv.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "capture/platform/image_buffer_pool.h"
#include "capture/platform/pulse/pulse_audio_capture.h"
#include "capture/platform/x11/xcb_connection.h"
#include "common/unique_fd.h"

namespace rezoro::capture {

struct PixelRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool intersects(int ox, int oy, int ow, int oh) const {
    return ow > 0 && oh > 0 && ox < x + width && x < ox + ow && oy < y + height && y < oy + oh;
  }
};

// A System V shared memory segment of ours, marked for removal as soon as it is attached, so it
// disappears with its last user even if the process dies.
class SharedMemory {
 public:
  static std::optional<SharedMemory> create(size_t bytes) {
    const int id = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) return std::nullopt;
    void* address = ::shmat(id, nullptr, 0);
    ::shmctl(id, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void*>(-1)) return std::nullopt;
    return SharedMemory(id, static_cast<uint8_t*>(address));
  }
  SharedMemory(SharedMemory&& other) noexcept
      : id_(other.id_), address_(std::exchange(other.address_, nullptr)) {}
  SharedMemory& operator=(SharedMemory&&) = delete;
  ~SharedMemory() {
    if (address_) ::shmdt(address_);
  }
  int id() const { return id_; }
  uint8_t* data() const { return address_; }

 private:
  SharedMemory(int id, uint8_t* address) : id_(id), address_(address) {}
  int id_;
  uint8_t* address_;
};

// The screen half of the stream: one X connection and one thread.
class ScreenGrabber {
 public:
  struct Callbacks {
    std::function<void(SampleBuffer, std::optional<double> grabSeconds)> onFrame;
    std::function<void()> onSkipped;
    std::function<void(const std::string&)> onFailure;
  };

  static std::unique_ptr<ScreenGrabber> open(const ContentFilter& filter,
                                             const StreamConfiguration& configuration,
                                             std::string& error);
  ~ScreenGrabber() {
    stop();
    if (shmSegment_ && !connection_.broken()) {
      xcb_shm_detach(connection_.get(), shmSegment_);
      xcb_flush(connection_.get());
    }
  }

  void start(Callbacks callbacks) {
    callbacks_ = std::move(callbacks);
    thread_ = std::thread([this] {
      try {
        run();
      } catch (...) {  // an allocation failure: the stream fails instead of the process
        callbacks_.onFailure("the screen capture ran out of memory");
      }
    });
  }
  void stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wake_.get(), &one, sizeof one);
    thread_.join();
  }

  ScreenGrabber(XcbConnection connection, SharedMemory memory, PixelRect source, int width,
                int height, int queueDepth)
      : connection_(std::move(connection)),
        memory_(std::move(memory)),
        source_(source),
        pool_(width, height, queueDepth) {}

 private:
  struct Cursor {
    int x = 0, y = 0, width = 0, height = 0;
    uint32_t serial = 0;
    bool operator==(const Cursor&) const = default;
  };
  using CursorImage = XcbReply<xcb_xfixes_get_cursor_image_reply_t>;

  void run();
  // Waits until `deadline` (host seconds) while noting damage; false when told to stop or the
  // connection broke.
  bool waitUntil(double deadline, bool& damaged);
  bool sourceDamaged();
  CursorImage cursorImage(Cursor& cursor);
  void drawCursor(const xcb_xfixes_get_cursor_image_reply_t& image, const Cursor& cursor);
  bool grabInto(ImageBuffer& out, const CursorImage& cursor, const Cursor& where);

  XcbConnection connection_;
  SharedMemory memory_;
  xcb_shm_seg_t shmSegment_ = 0;
  xcb_damage_damage_t damage_ = 0;
  xcb_xfixes_region_t region_ = 0;
  uint8_t damageEvent_ = 0;
  PixelRect source_;
  double interval_ = 1.0 / 60;
  bool showsCursor_ = true;
  ImageBufferPool pool_;
  UniqueFd wake_;
  Callbacks callbacks_;
  std::thread thread_;
};

namespace {

bool extensionPresent(xcb_connection_t* connection, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
  return data && data->present;
}

// Whether the root window's pixels are 32-bit little-endian B, G, R, X: what BGRA needs.
bool rootIsBgrx(const XcbConnection& connection) {
  const xcb_setup_t* setup = xcb_get_setup(connection.get());
  const xcb_screen_t* screen = connection.screen();
  bool thirtyTwoBits = false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == screen->root_depth) thirtyTwoBits = it.data->bits_per_pixel == 32;
  }
  if (!thirtyTwoBits || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem > 0; xcb_depth_next(&depths)) {
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
         xcb_visualtype_next(&visuals)) {
      if (visuals.data->visual_id == screen->root_visual) {
        return visuals.data->red_mask == 0xff0000 && visuals.data->green_mask == 0xff00 &&
               visuals.data->blue_mask == 0xff;
      }
    }
  }
  return false;
}

}  // namespace

std::unique_ptr<ScreenGrabber> ScreenGrabber::open(const ContentFilter& filter,
                                                   const StreamConfiguration& configuration,
                                                   std::string& error) {
  if (configuration.pixelFormat != kPixelFormatBGRA) {
    error = "only BGRA frames can be produced";
    return nullptr;
  }
  if (configuration.width < 1 || configuration.height < 1 || configuration.queueDepth < 1) {
    error = "the frame size and queue depth must be positive";
    return nullptr;
  }
  std::optional<XcbConnection> connection = XcbConnection::open(error);
  if (!connection) return nullptr;
  xcb_connection_t* c = connection->get();
  if (!rootIsBgrx(*connection)) {
    error = "the X screen is not 24-bit true colour in 32-bit pixels";
    return nullptr;
  }

  // The source rectangle in root pixels, clipped to the screen.
  const double scale = filter.pointPixelScale();
  const DisplayRect& frame = filter.display.frame;
  const DisplayRect local = configuration.sourceRect.value_or(DisplayRect{0, 0, frame.width, frame.height});
  const double left = std::max((frame.x + local.x) * scale, 0.0);
  const double top = std::max((frame.y + local.y) * scale, 0.0);
  const double right = std::min((frame.x + local.x + local.width) * scale,
                                static_cast<double>(connection->screen()->width_in_pixels));
  const double bottom = std::min((frame.y + local.y + local.height) * scale,
                                 static_cast<double>(connection->screen()->height_in_pixels));
  PixelRect source{static_cast<int>(std::lround(left)), static_cast<int>(std::lround(top)), 0, 0};
  source.width = static_cast<int>(std::lround(right)) - source.x;
  source.height = static_cast<int>(std::lround(bottom)) - source.y;
  if (!std::isfinite(left + top + right + bottom) || source.width < 1 || source.height < 1) {
    error = "the source rectangle lies outside the screen";
    return nullptr;
  }

  const std::pair<xcb_extension_t*, const char*> needed[] = {
      {&xcb_shm_id, "MIT-SHM"}, {&xcb_damage_id, "DAMAGE"}, {&xcb_xfixes_id, "XFIXES"}};
  for (const auto& [extension, name] : needed) {
    if (!extensionPresent(c, extension)) {
      error = std::string("the X server lacks ") + name;
      return nullptr;
    }
  }
  // Each extension must be told the version we speak before it answers anything else.
  XcbReply<xcb_xfixes_query_version_reply_t> xfixes(
      xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
  XcbReply<xcb_damage_query_version_reply_t> damage(
      xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
  XcbReply<xcb_shm_query_version_reply_t> shm(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  if (!xfixes || xfixes->major_version < 2 || !damage || !shm) {
    error = "the X server's XFixes, DAMAGE or MIT-SHM is too old";
    return nullptr;
  }

  std::optional<SharedMemory> memory =
      SharedMemory::create(static_cast<size_t>(source.width) * source.height * 4);
  if (!memory) {
    error = std::string("cannot create shared memory: ") + std::strerror(errno);
    return nullptr;
  }
  auto grabber = std::make_unique<ScreenGrabber>(std::move(*connection), std::move(*memory), source,
                                                 configuration.width, configuration.height,
                                                 configuration.queueDepth);
  c = grabber->connection_.get();
  grabber->shmSegment_ = xcb_generate_id(c);
  XcbReply<xcb_generic_error_t> attachError(
      xcb_request_check(c, xcb_shm_attach_checked(c, grabber->shmSegment_, grabber->memory_.id(), 0)));
  if (attachError) {
    grabber->shmSegment_ = 0;
    error = "the X server cannot attach our shared memory (is it on another machine?)";
    return nullptr;
  }

  grabber->damage_ = xcb_generate_id(c);
  xcb_damage_create(c, grabber->damage_, grabber->connection_.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  grabber->region_ = xcb_generate_id(c);
  xcb_xfixes_create_region(c, grabber->region_, 0, nullptr);
  grabber->damageEvent_ = static_cast<uint8_t>(xcb_get_extension_data(c, &xcb_damage_id)->first_event +
                                               XCB_DAMAGE_NOTIFY);
  xcb_flush(c);

  const double interval = configuration.minimumFrameInterval.seconds();
  grabber->interval_ = std::isfinite(interval) && interval > 0 ? std::max(interval, 1.0 / 240) : 1.0 / 60;
  grabber->showsCursor_ = configuration.showsCursor;
  grabber->wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!grabber->wake_ || grabber->connection_.broken()) {
    error = "cannot set up the screen capture";
    return nullptr;
  }
  return grabber;
}

bool ScreenGrabber::waitUntil(double deadline, bool& damaged) {
  xcb_connection_t* c = connection_.get();
  for (;;) {
    while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
      if ((event->response_type & 0x7f) == damageEvent_) damaged = true;
    }
    if (connection_.broken()) return false;
    const double remaining = deadline - hostTimeSeconds();
    if (remaining <= 0) return true;
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    ::poll(fds, 2, static_cast<int>(std::ceil(remaining * 1000)));
    if (fds[1].revents) return false;
  }
}

bool ScreenGrabber::sourceDamaged() {
  xcb_connection_t* c = connection_.get();
  // Moving the damage into our region empties it, which re-arms the notification.
  xcb_damage_subtract(c, damage_, XCB_NONE, region_);
  XcbReply<xcb_xfixes_fetch_region_reply_t> parts(
      xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region_), nullptr));
  if (!parts) return true;
  const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(parts.get());
  for (int i = 0; i < xcb_xfixes_fetch_region_rectangles_length(parts.get()); ++i) {
    if (source_.intersects(rectangles[i].x, rectangles[i].y, rectangles[i].width, rectangles[i].height)) {
      return true;
    }
  }
  return false;
}

ScreenGrabber::CursorImage ScreenGrabber::cursorImage(Cursor& cursor) {
  xcb_connection_t* c = connection_.get();
  CursorImage image(xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (image) {
    cursor = {image->x - image->xhot, image->y - image->yhot, image->width, image->height,
              image->cursor_serial};
  } else {
    cursor = {};
  }
  return image;
}

// The cursor image is premultiplied ARGB: out = cursor + screen × (1 − alpha).
void ScreenGrabber::drawCursor(const xcb_xfixes_get_cursor_image_reply_t& image, const Cursor& cursor) {
  const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(&image);
  const int left = std::max(cursor.x, source_.x), right = std::min(cursor.x + cursor.width, source_.x + source_.width);
  const int top = std::max(cursor.y, source_.y), bottom = std::min(cursor.y + cursor.height, source_.y + source_.height);
  for (int y = top; y < bottom; ++y) {
    uint8_t* row = memory_.data() + static_cast<size_t>(y - source_.y) * source_.width * 4;
    const uint32_t* cursorRow = pixels + static_cast<size_t>(y - cursor.y) * cursor.width;
    for (int x = left; x < right; ++x) {
      const uint32_t argb = cursorRow[x - cursor.x];
      const uint32_t alpha = argb >> 24;
      if (alpha == 0) continue;
      uint8_t* pixel = row + static_cast<size_t>(x - source_.x) * 4;
      const uint32_t keep = 255 - alpha;
      pixel[0] = static_cast<uint8_t>(std::min<uint32_t>(255, (argb & 0xff) + (pixel[0] * keep + 127) / 255));
      pixel[1] = static_cast<uint8_t>(std::min<uint32_t>(255, ((argb >> 8) & 0xff) + (pixel[1] * keep + 127) / 255));
      pixel[2] = static_cast<uint8_t>(std::min<uint32_t>(255, ((argb >> 16) & 0xff) + (pixel[2] * keep + 127) / 255));
    }
  }
}

bool ScreenGrabber::grabInto(ImageBuffer& out, const CursorImage& cursor, const Cursor& where) {
  xcb_connection_t* c = connection_.get();
  xcb_generic_error_t* rawError = nullptr;
  XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
      c,
      xcb_shm_get_image(c, connection_.root(), static_cast<int16_t>(source_.x), static_cast<int16_t>(source_.y),
                        static_cast<uint16_t>(source_.width), static_cast<uint16_t>(source_.height), ~0u,
                        XCB_IMAGE_FORMAT_Z_PIXMAP, shmSegment_, 0),
      &rawError));
  XcbReply<xcb_generic_error_t> error(rawError);
  if (!reply || error) return false;
  if (cursor) drawCursor(*cursor, where);

  const int stride = source_.width * 4;
  if (out.width == source_.width && out.height == source_.height) {
    libyuv::ARGBCopy(memory_.data(), stride, out.baseAddress(), out.bytesPerRow, out.width, out.height);
  } else {
    libyuv::ARGBScale(memory_.data(), stride, source_.width, source_.height, out.baseAddress(),
                      out.bytesPerRow, out.width, out.height, libyuv::kFilterBox);
  }
  // The padding byte of a 24-bit screen is undefined; BGRA wants it opaque.
  for (int y = 0; y < out.height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(out.baseAddress() + static_cast<size_t>(y) * out.bytesPerRow);
    for (int x = 0; x < out.width; ++x) row[x] |= 0xff000000u;
  }
  return true;
}

void ScreenGrabber::run() {
  bool first = true;
  bool dirty = true;
  bool damaged = false;
  Cursor shown;  // where the cursor was in the last complete frame
  double tick = hostTimeSeconds();
  while (waitUntil(tick, damaged)) {
    const double now = hostTimeSeconds();
    if (damaged) {
      damaged = false;
      dirty = sourceDamaged() || dirty;
    }
    Cursor cursor;
    CursorImage image;
    if (showsCursor_) {
      image = cursorImage(cursor);
      if (cursor != shown && (source_.intersects(cursor.x, cursor.y, cursor.width, cursor.height) ||
                              source_.intersects(shown.x, shown.y, shown.width, shown.height))) {
        dirty = true;
      }
    }
    if (connection_.broken()) break;

    SampleBuffer sample;
    sample.mediaType = kMediaTypeVideo;
    sample.numSamples = 1;
    sample.presentationTime = hostMediaTime(now);
    if (first || dirty) {
      std::shared_ptr<ImageBuffer> buffer = pool_.acquire();
      if (!buffer) {
        callbacks_.onSkipped();
      } else {
        const double started = hostTimeSeconds();
        if (!grabInto(*buffer, image, cursor)) {
          callbacks_.onFailure(connection_.broken() ? "the X display connection was lost"
                                                    : "the display area can no longer be read");
          return;
        }
        first = dirty = false;
        shown = cursor;
        sample.frameStatus = static_cast<int64_t>(FrameStatus::complete);
        sample.imageBuffer = std::move(buffer);
        callbacks_.onFrame(std::move(sample), hostTimeSeconds() - started);
      }
    } else {
      sample.frameStatus = static_cast<int64_t>(FrameStatus::idle);
      callbacks_.onFrame(std::move(sample), std::nullopt);
    }
    tick += interval_;
    if (tick <= hostTimeSeconds()) tick = hostTimeSeconds() + interval_;
  }
  if (connection_.broken()) callbacks_.onFailure("the X display connection was lost");
}

X11CaptureStream::X11CaptureStream(ContentFilter filter, StreamConfiguration configuration,
                                   std::weak_ptr<StreamDelegate> delegate)
    : filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(std::move(delegate)),
      control_(std::make_unique<SerialQueue>()) {}

X11CaptureStream::~X11CaptureStream() {
  stopping_ = true;
  std::unique_ptr<SerialQueue> control;
  {
    std::lock_guard lock(mutex_);
    control = std::move(control_);
  }
  control.reset();  // waits for a start or stop under way
  tearDown();
}

std::optional<PlatformError> X11CaptureStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                               StreamOutputType type,
                                                               SerialQueue& queue) {
  std::lock_guard lock(mutex_);
  if (startRequested_) return PlatformError{"outputs must be added before the capture starts"};
  std::optional<Destination>& slot = type == StreamOutputType::screen ? screen_ : audio_;
  if (type != StreamOutputType::screen && type != StreamOutputType::audio) {
    return PlatformError{"unknown output type"};
  }
  if (slot) return PlatformError{"the stream already has an output of this type"};
  slot = Destination{std::move(output), &queue};
  return std::nullopt;
}

void X11CaptureStream::startCapture(ErrorCompletion completion) {
  std::lock_guard lock(mutex_);
  if (!control_) return;
  if (startRequested_) {
    control_->async([completion = std::move(completion)] {
      if (completion) completion(PlatformError{"the capture was started before"});
    });
    return;
  }
  startRequested_ = true;
  control_->async([this, completion = std::move(completion)] { startOnControl(completion); });
}

void X11CaptureStream::stopCapture(ErrorCompletion completion) {
  std::lock_guard lock(mutex_);
  if (!control_) return;
  control_->async([this, completion = std::move(completion)] { stopOnControl(completion); });
}

void X11CaptureStream::startOnControl(ErrorCompletion completion) {
  auto finish = [&](std::optional<PlatformError> error) {
    if (error) tearDown();
    if (completion) completion(std::move(error));
  };
  std::optional<Destination> screen, audio;
  {
    std::lock_guard lock(mutex_);
    screen = screen_;
    audio = audio_;
  }
  if (screen) {
    std::string error;
    grabber_ = ScreenGrabber::open(filter_, configuration_, error);
    if (!grabber_) return finish(PlatformError{error});
  }
  if (configuration_.capturesAudio) {
    if (configuration_.sampleRate != PulseAudioCapture::kSampleRate ||
        configuration_.channelCount != PulseAudioCapture::kChannelCount) {
      return finish(PlatformError{"audio is captured at 48 kHz in stereo only"});
    }
    audioCapture_ = std::make_unique<PulseAudioCapture>(
        [this, audio](SampleBuffer sample) {
          {
            std::lock_guard lock(statisticsMutex_);
            if (!statistics_.firstAudioHostTime) statistics_.firstAudioHostTime = hostTimeSeconds();
            ++statistics_.audioBuffers;
            statistics_.audioFrames += sample.numSamples;
          }
          if (audio) deliver(*audio, std::move(sample), StreamOutputType::audio);
        },
        [this](const PlatformError& error) { reportFailure(error.message); });
    if (auto error = audioCapture_->start()) return finish(std::move(error));
  }
  if (grabber_) {
    grabber_->start({
        [this, screen](SampleBuffer sample, std::optional<double> grabSeconds) {
          {
            std::lock_guard lock(statisticsMutex_);
            if (grabSeconds) {
              ++statistics_.completeFrames;
              statistics_.grabSeconds += *grabSeconds;
            } else {
              ++statistics_.idleFrames;
            }
          }
          deliver(*screen, std::move(sample), StreamOutputType::screen);
        },
        [this] {
          std::lock_guard lock(statisticsMutex_);
          ++statistics_.skippedFrames;
        },
        [this](const std::string& message) { reportFailure(message); },
    });
  }
  {
    std::lock_guard lock(mutex_);
    state_ = State::running;
  }
  finish(std::nullopt);
}

void X11CaptureStream::stopOnControl(ErrorCompletion completion) {
  State state;
  {
    std::lock_guard lock(mutex_);
    state = state_;
  }
  std::optional<PlatformError> error;
  if (state == State::running) {
    stopping_ = true;
    tearDown();
    std::lock_guard lock(mutex_);
    state_ = State::stopped;
  } else if (!(state == State::stopped && failureReported_)) {
    // A stream that already ended on its own counts as stopped.
    error = PlatformError{"the capture is not running"};
  }
  if (completion) completion(std::move(error));
}

void X11CaptureStream::tearDown() {
  grabber_.reset();
  audioCapture_.reset();
}

void X11CaptureStream::deliver(const Destination& destination, SampleBuffer sample, StreamOutputType type) {
  if (stopping_) return;
  destination.queue->async([output = destination.output, sample = std::move(sample), type] {
    if (auto receiver = output.lock()) receiver->didOutputSampleBuffer(sample, type);
  });
}

void X11CaptureStream::reportFailure(const std::string& message) {
  if (stopping_ || failureReported_.exchange(true)) return;
  if (auto delegate = delegate_.lock()) delegate->didStopWithError(PlatformError{message});
  // The whole stream ends with either half.
  std::lock_guard lock(mutex_);
  if (!control_) return;
  control_->async([this] {
    {
      std::lock_guard lock(mutex_);
      if (state_ != State::running) return;
      state_ = State::stopped;
    }
    stopping_ = true;
    tearDown();  // without the lock: the sound thread may be waiting for it in this very function
  });
}

CaptureStatistics X11CaptureStream::statistics() const {
  std::lock_guard lock(statisticsMutex_);
  return statistics_;
}

}  // namespace rezoro::capture
