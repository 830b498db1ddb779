#include "capture/platform/x11/screen_grabber.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/randr.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include "capture/platform/process_tree.h"
#include "capture/platform/x11/screen_layout.h"

namespace rezoro::capture {

namespace {

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

ScreenGrabber::ScreenGrabber(XcbConnection connection, SharedMemory memory, PixelRect source,
                             const StreamConfiguration& configuration)
    : connection_(std::move(connection)),
      memory_(std::move(memory)),
      source_(source),
      picture_(source.width, source.height, configuration.width, configuration.height, configuration.pixelFormat,
               configuration.queueDepth) {}

ScreenGrabber::~ScreenGrabber() {
  stop();
  if (shmSegment_ && !connection_.broken()) {
    xcb_shm_detach(connection_.get(), shmSegment_);
    xcb_flush(connection_.get());
  }
}

void ScreenGrabber::start(Callbacks callbacks) {
  callbacks_ = std::move(callbacks);
  thread_ = std::thread([this] {
    try {
      run();
    } catch (...) {  // an allocation failure: the stream fails instead of the process
      callbacks_.onFailure("the screen capture ran out of memory");
    }
  });
}

void ScreenGrabber::stop() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(wake_.get(), &one, sizeof one);
  thread_.join();
}

std::unique_ptr<ScreenGrabber> ScreenGrabber::open(const ContentFilter& filter,
                                                   const StreamConfiguration& configuration,
                                                   std::string& error) {
  if (configuration.pixelFormat != kPixelFormatBGRA && configuration.pixelFormat != kPixelFormatI420) {
    error = "only BGRA and I420 frames can be produced";
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
      SharedMemory::create(ScreenGrabber::frameBytes(source) + ScreenGrabber::scratchBytes(source));
  if (!memory) {
    error = std::string("cannot create shared memory: ") + std::strerror(errno);
    return nullptr;
  }
  auto grabber = std::make_unique<ScreenGrabber>(std::move(*connection), std::move(*memory), source, configuration);
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
  if (!filter.excludedApplications.empty()) {
    grabber->composer_ = std::make_unique<WindowComposer>(grabber->connection_,
                                                          ProcessTree(filter.excludedProcessIDs()),
                                                          source.x, source.y, source.width, source.height);
  }
  for (const X11Monitor& monitor : x11Monitors(grabber->connection_)) {
    if (monitor.name == filter.display.displayID) grabber->monitor_ = monitor.name;
  }
  grabber->watchLayout();
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
    noteEvents(xcb_poll_for_event, damaged);
    if (connection_.broken()) return false;
    const double remaining = deadline - hostTimeSeconds();
    if (remaining <= 0) return true;
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    ::poll(fds, 2, static_cast<int>(std::ceil(remaining * 1000)));
    if (fds[1].revents) return false;
  }
}

void ScreenGrabber::watchLayout() {
  xcb_connection_t* c = connection_.get();
  // One event mask per client and window: the composer's interest in the root's children stays.
  uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  if (composer_) events |= XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, connection_.root(), XCB_CW_EVENT_MASK, &events);
  if (!extensionPresent(c, &xcb_randr_id)) return;
  randrEvent_ = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
  xcb_randr_select_input(c, connection_.root(),
                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_RESOURCE_CHANGE);
}

void ScreenGrabber::noteEvents(xcb_generic_event_t* (*poll)(xcb_connection_t*), bool& damaged) {
  while (XcbReply<xcb_generic_event_t> event{poll(connection_.get())}) {
    const uint8_t type = event->response_type & 0x7f;
    if (type == damageEvent_) damaged = true;
    if (randrEvent_ != 0 && (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEvent_ + XCB_RANDR_NOTIFY)) {
      layoutChanged_ = true;
    }
    if (type == XCB_CONFIGURE_NOTIFY &&
        reinterpret_cast<const xcb_configure_notify_event_t*>(event.get())->window == connection_.root()) {
      layoutChanged_ = true;
    }
    if (composer_) composer_->noteEvent(*event);
  }
}

// A window mapped or moved into the area while the screen was read announced itself before the
// image arrived: if it may be excluded, the frame is made again without it.
bool ScreenGrabber::windowsChangedDuringGrab(bool& damaged) {
  if (!composer_ || mode_ == WindowComposer::Mode::composed) return false;
  noteEvents(xcb_poll_for_queued_event, damaged);
  if (!composer_->stale()) return false;
  mode_ = composer_->prepare();
  return mode_ != WindowComposer::Mode::direct;
}

bool ScreenGrabber::readWithoutExcluded() {
  xcb_connection_t* c = connection_.get();
  const bool composed = mode_ == WindowComposer::Mode::composed;
  const xcb_drawable_t drawable = composed ? composer_->compose() : connection_.root();
  xcb_generic_error_t* rawError = nullptr;
  XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
      c,
      xcb_shm_get_image(c, drawable, static_cast<int16_t>(composed ? 0 : source_.x),
                        static_cast<int16_t>(composed ? 0 : source_.y), static_cast<uint16_t>(source_.width),
                        static_cast<uint16_t>(source_.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shmSegment_, 0),
      &rawError));
  XcbReply<xcb_generic_error_t> error(rawError);
  if (!reply || error) return false;
  if (mode_ == WindowComposer::Mode::masked) composer_->blank(memory_.data(), source_.width * 4);
  return true;
}

void ScreenGrabber::collectDamage(ChangedArea& changed) {
  xcb_connection_t* c = connection_.get();
  // Moving the damage into our region empties it, which re-arms the notification.
  xcb_damage_subtract(c, damage_, XCB_NONE, region_);
  XcbReply<xcb_xfixes_fetch_region_reply_t> parts(
      xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region_), nullptr));
  if (!parts) {
    changed.addEverything();
    return;
  }
  const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(parts.get());
  for (int i = 0; i < xcb_xfixes_fetch_region_rectangles_length(parts.get()); ++i) {
    changed.add({rectangles[i].x - source_.x, rectangles[i].y - source_.y, rectangles[i].width, rectangles[i].height});
  }
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

bool ScreenGrabber::readScreen(const std::vector<PixelRect>& rects) {
  xcb_connection_t* c = connection_.get();
  if (composer_ && mode_ != WindowComposer::Mode::direct) return readWithoutExcluded();
  const size_t stride = static_cast<size_t>(source_.width) * 4;
  const size_t scratchAt = frameBytes(source_);
  struct Read {
    xcb_shm_get_image_cookie_t cookie;
    PixelRect rect;
    size_t offset;
  };
  std::vector<Read> reads;
  size_t scratchUsed = 0;
  // Waits for the reads asked for so far and moves the narrow ones into place.
  auto collect = [&] {
    bool ok = true;
    for (const Read& read : reads) {
      xcb_generic_error_t* rawError = nullptr;
      XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(c, read.cookie, &rawError));
      XcbReply<xcb_generic_error_t> error(rawError);
      ok = ok && reply && !error;
      if (!ok || read.offset < scratchAt) continue;
      const size_t rowBytes = static_cast<size_t>(read.rect.width) * 4;
      for (int y = 0; y < read.rect.height; ++y) {
        std::memcpy(memory_.data() + (read.rect.y + y) * stride + read.rect.x * 4,
                    memory_.data() + read.offset + y * rowBytes, rowBytes);
      }
    }
    reads.clear();
    scratchUsed = 0;
    return ok;
  };
  for (PixelRect rect : rects) {
    size_t offset;
    if (2 * rect.width > source_.width) {
      rect.x = 0;
      rect.width = source_.width;
      offset = rect.y * stride;
    } else {
      const size_t bytes = static_cast<size_t>(rect.area()) * 4;
      if (scratchUsed + bytes > scratchBytes(source_) && !collect()) return false;
      offset = scratchAt + scratchUsed;
      scratchUsed += bytes;
    }
    reads.push_back({xcb_shm_get_image(c, connection_.root(), static_cast<int16_t>(source_.x + rect.x),
                                       static_cast<int16_t>(source_.y + rect.y), static_cast<uint16_t>(rect.width),
                                       static_cast<uint16_t>(rect.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                       shmSegment_, static_cast<uint32_t>(offset)),
                     rect, offset});
  }
  return collect();
}

void ScreenGrabber::run() {
  const PixelRect area{0, 0, source_.width, source_.height};
  ChangedArea changed(area);
  changed.addEverything();
  bool owed = true;  // a complete frame is due even if nothing changes: the first, or one skipped
  bool damaged = false;
  Cursor shown;  // where the cursor was in the last picture
  double tick = hostTimeSeconds();
  double nextLayoutCheck = tick + layoutCheckSeconds;
  while (waitUntil(tick, damaged)) {
    const double now = hostTimeSeconds();
    // A screen that shrank past the area, or a monitor unplugged, would otherwise be recorded as
    // black or as its last picture. Monitors come and go without an event, so they are also
    // looked at now and then.
    if (std::exchange(layoutChanged_, false) || now >= nextLayoutCheck) {
      nextLayoutCheck = now + layoutCheckSeconds;
      if (std::optional<std::string> lost = lostAreaReason(source_, monitor_, x11ScreenLayout(connection_))) {
        callbacks_.onFailure(*lost);
        return;
      }
    }
    if (damaged) {
      damaged = false;
      collectDamage(changed);
    }
    if (composer_) {
      // Beneath an excluded window nothing reports changes: such frames are made anew every time.
      const WindowComposer::Mode mode = composer_->prepare();
      if (mode != WindowComposer::Mode::direct || mode != mode_) changed.addEverything();
      mode_ = mode;
    }
    Cursor cursor;
    CursorImage image;
    if (showsCursor_) {
      image = cursorImage(cursor);
      if (cursor != shown) {
        // Both where it was and where it is now must be redone.
        changed.add({shown.x - source_.x, shown.y - source_.y, shown.width, shown.height});
        changed.add({cursor.x - source_.x, cursor.y - source_.y, cursor.width, cursor.height});
      }
    }
    if (connection_.broken()) break;

    SampleBuffer sample;
    sample.mediaType = kMediaTypeVideo;
    sample.numSamples = 1;
    sample.presentationTime = hostMediaTime(now);
    if (owed || !changed.empty()) {
      const double started = hostTimeSeconds();
      bool read = readScreen(changed.rects());
      if (read && windowsChangedDuringGrab(damaged)) {
        changed.addEverything();
        read = readScreen(changed.rects());
      }
      if (!read) {
        callbacks_.onFailure(connection_.broken() ? "the X display connection was lost"
                                                  : "the display area can no longer be read");
        return;
      }
      std::optional<Overlay> overlay;
      if (image) {
        overlay = Overlay{{cursor.x - source_.x, cursor.y - source_.y, cursor.width, cursor.height},
                          xcb_xfixes_get_cursor_image_cursor_image(image.get())};
      }
      std::shared_ptr<ImageBuffer> buffer = picture_.picture(memory_.data(), source_.width * 4, changed.rects(),
                                                             overlay ? &*overlay : nullptr);
      changed.clear();
      shown = cursor;
      owed = !buffer;
      if (!buffer) {
        callbacks_.onSkipped();
      } else {
        sample.frameStatus = static_cast<int64_t>(FrameStatus::complete);
        sample.imageBuffer = std::move(buffer);
        callbacks_.onFrame(std::move(sample), hostTimeSeconds() - started);
      }
    } else {
      sample.frameStatus = static_cast<int64_t>(FrameStatus::idle);
      callbacks_.onFrame(std::move(sample), std::nullopt);
    }
    // On time, frames keep to the schedule; after a late wake-up the next frame still waits most of
    // an interval, so the rate stays at most one frame per interval however the thread is held up.
    tick = std::max(tick + interval_, now + 0.75 * interval_);
    if (tick <= hostTimeSeconds()) tick = hostTimeSeconds() + interval_;
  }
  if (connection_.broken()) callbacks_.onFailure("the X display connection was lost");
}

}  // namespace rezoro::capture
