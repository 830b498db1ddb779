#include "capture/platform/x11/window_composer.h"

#include <xcb/composite.h>
#include <xcb/render.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstring>

#include "capture/samples/media_time.h"

namespace rezoro::capture {
namespace {

// How long redirected windows get to repaint what they had hidden before their pixmaps are used.
constexpr double kSettleSeconds = 0.2;
// Window structure and process tree are re-read at least this often, events or not.
constexpr double kWindowsMaximumAge = 1.0;
constexpr double kProcessesMaximumAge = 0.5;
// While no excluded window is shown, what the desktop shows where no window is gets copied this often.
constexpr double kBackgroundMaximumAge = 1.0;

}  // namespace

WindowComposer::WindowComposer(const XcbConnection& connection, ProcessTree excluded, int x, int y, int width,
                               int height)
    : connection_(connection), excluded_(std::move(excluded)), owners_(connection), x_(x), y_(y),
      width_(width), height_(height) {
  xcb_connection_t* c = connection.get();
  const uint32_t events = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, connection.root(), XCB_CW_EVENT_MASK, &events);

  if (!extensionPresent(c, &xcb_composite_id) || !extensionPresent(c, &xcb_render_id)) return;
  XcbReply<xcb_composite_query_version_reply_t> composite(
      xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
  XcbReply<xcb_render_query_version_reply_t> render(
      xcb_render_query_version_reply(c, xcb_render_query_version(c, 0, 11), nullptr));
  XcbReply<xcb_render_query_pict_formats_reply_t> formats(
      xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr));
  // Named window pixmaps came with Composite 0.2.
  if (!composite || (composite->major_version == 0 && composite->minor_version < 2) || !render || !formats) return;
  for (auto screens = xcb_render_query_pict_formats_screens_iterator(formats.get()); screens.rem > 0;
       xcb_render_pictscreen_next(&screens)) {
    for (auto depths = xcb_render_pictscreen_depths_iterator(screens.data); depths.rem > 0;
         xcb_render_pictdepth_next(&depths)) {
      for (auto visuals = xcb_render_pictdepth_visuals_iterator(depths.data); visuals.rem > 0;
           xcb_render_pictvisual_next(&visuals)) {
        visualFormats_[visuals.data->visual] = visuals.data->format;
      }
    }
  }
  const auto root = visualFormats_.find(connection.screen()->root_visual);
  if (root == visualFormats_.end()) return;
  rootFormat_ = root->second;
  canCompose_ = true;
}

WindowComposer::~WindowComposer() {
  if (connection_.broken()) return;
  xcb_connection_t* c = connection_.get();
  setRedirected(false);  // our desktop window goes with it
  for (uint32_t picture : {framePicture_, backgroundPicture_, backgroundSource_, rootPicture_}) {
    if (picture) xcb_render_free_picture(c, picture);
  }
  for (xcb_pixmap_t pixmap : {frame_, background_}) {
    if (pixmap) xcb_free_pixmap(c, pixmap);
  }
  for (uint32_t region : {uncovered_, seen_}) {
    if (region) xcb_xfixes_destroy_region(c, region);
  }
  xcb_flush(c);
}

void WindowComposer::noteEvent(const xcb_generic_event_t& event) {
  switch (event.response_type & 0x7f) {
    case XCB_CREATE_NOTIFY:
    case XCB_DESTROY_NOTIFY:
    case XCB_MAP_NOTIFY:
    case XCB_UNMAP_NOTIFY:
    case XCB_REPARENT_NOTIFY:
    case XCB_CONFIGURE_NOTIFY:
    case XCB_CIRCULATE_NOTIFY:
      stale_ = true;
      break;
    default:
      break;
  }
}

bool WindowComposer::inArea(const Window& window) const {
  return window.x < x_ + width_ && x_ < window.x + window.width && window.y < y_ + height_ &&
         y_ < window.y + window.height;
}

void WindowComposer::readWindows() {
  xcb_connection_t* c = connection_.get();
  const std::vector<xcb_window_t> tree = childWindows(connection_, connection_.root());
  // Ask for everything first and collect the answers after: one round trip for all windows.
  std::vector<xcb_get_window_attributes_cookie_t> attributeCookies;
  std::vector<xcb_get_geometry_cookie_t> geometryCookies;
  for (xcb_window_t id : tree) {
    attributeCookies.push_back(xcb_get_window_attributes(c, id));
    geometryCookies.push_back(xcb_get_geometry(c, id));
  }
  std::vector<Window> windows;
  std::map<xcb_window_t, pid_t> pids;
  for (size_t i = 0; i < tree.size(); ++i) {
    XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, attributeCookies[i], nullptr));
    XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookies[i], nullptr));
    if (tree[i] == desktop_) continue;  // ours, and no window of the desktop
    if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
        attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) {
      continue;  // gone, hidden or invisible by nature
    }
    Window window;
    window.id = tree[i];
    window.x = geometry->x;
    window.y = geometry->y;
    window.width = geometry->width + 2 * geometry->border_width;
    window.height = geometry->height + 2 * geometry->border_width;
    const auto format = visualFormats_.find(attributes->visual);
    window.format = format != visualFormats_.end() ? format->second : 0;
    const auto known = ownerPids_.find(window.id);
    if (known == ownerPids_.end()) newWindows_ = true;
    pids[window.id] = known != ownerPids_.end() ? known->second : owners_.ownerOf(window.id).pid;
    windows.push_back(window);
  }
  // A window lowered to the bottom since goes back above ours, which must cover nothing.
  if (desktop_ && !tree.empty() && tree.front() != desktop_) {
    const uint32_t below = XCB_STACK_MODE_BELOW;
    xcb_configure_window(c, desktop_, XCB_CONFIG_WINDOW_STACK_MODE, &below);
  }
  windows_ = std::move(windows);
  ownerPids_ = std::move(pids);
  stale_ = false;
  readAt_ = hostTimeSeconds();
  if (canCompose_) updateBackgroundClip();
}

void WindowComposer::markExcluded() {
  for (Window& window : windows_) {
    const pid_t pid = ownerPids_[window.id];
    window.excluded = pid > 0 && excluded_.contains(pid);
  }
}

void WindowComposer::setRedirected(bool redirected) {
  if (redirected == redirected_) return;
  xcb_connection_t* c = connection_.get();
  if (redirected) {
    xcb_composite_redirect_subwindows(c, connection_.root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    settledAt_ = hostTimeSeconds() + kSettleSeconds;
    showDesktop(true);
  } else {
    showDesktop(false);
    xcb_composite_unredirect_subwindows(c, connection_.root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  }
  redirected_ = redirected;
}

void WindowComposer::showDesktop(bool shown) {
  xcb_connection_t* c = connection_.get();
  if (!shown) {
    if (desktop_) xcb_destroy_window(c, desktop_);
    desktop_ = 0;
    return;
  }
  if (desktop_) return;
  desktop_ = xcb_generate_id(c);
  // In the order of the value bits: background pixmap, override-redirect (no window manager frames it).
  const uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, desktop_, connection_.root(), static_cast<int16_t>(x_),
                    static_cast<int16_t>(y_), static_cast<uint16_t>(width_), static_cast<uint16_t>(height_), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                    XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
  // Clicks on the desktop still reach the root: an empty input shape (XFixes 2).
  const uint32_t nothing = xcb_generate_id(c);
  xcb_xfixes_create_region(c, nothing, 0, nullptr);
  constexpr uint8_t kInputShape = 2;  // ShapeInput
  xcb_xfixes_set_window_shape_region(c, desktop_, kInputShape, 0, 0, nothing);
  xcb_xfixes_destroy_region(c, nothing);
  const uint32_t transparent = 0;
  const xcb_atom_t opacity = connection_.atom("_NET_WM_WINDOW_OPACITY", true);
  if (opacity != XCB_ATOM_NONE) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, desktop_, opacity, XCB_ATOM_CARDINAL, 32, 1, &transparent);
  }
  const uint32_t below = XCB_STACK_MODE_BELOW;
  xcb_configure_window(c, desktop_, XCB_CONFIG_WINDOW_STACK_MODE, &below);
  xcb_map_window(c, desktop_);
}

// The background keeps what the root showed where no window was; it is refreshed only there.
void WindowComposer::updateBackgroundClip() {
  xcb_connection_t* c = connection_.get();
  if (!uncovered_) uncovered_ = xcb_generate_id(c);
  else xcb_xfixes_destroy_region(c, uncovered_);
  const xcb_rectangle_t area{0, 0, static_cast<uint16_t>(width_), static_cast<uint16_t>(height_)};
  xcb_xfixes_create_region(c, uncovered_, 1, &area);
  std::vector<xcb_rectangle_t> covered;
  for (const Window& window : windows_) {
    if (!inArea(window)) continue;
    covered.push_back({static_cast<int16_t>(window.x - x_), static_cast<int16_t>(window.y - y_),
                       static_cast<uint16_t>(window.width), static_cast<uint16_t>(window.height)});
  }
  const uint32_t windows = xcb_generate_id(c);
  xcb_xfixes_create_region(c, windows, static_cast<uint32_t>(covered.size()), covered.data());
  xcb_xfixes_subtract_region(c, uncovered_, windows, uncovered_);
  xcb_xfixes_destroy_region(c, windows);
  if (backgroundPicture_) xcb_xfixes_set_picture_clip_region(c, backgroundPicture_, uncovered_, 0, 0);
}

WindowComposer::Mode WindowComposer::prepare() {
  const double now = hostTimeSeconds();
  if (stale_ || now - readAt_ >= kWindowsMaximumAge) readWindows();
  // A new window may come from a process started since the last look at the process table.
  excluded_.refresh(newWindows_ ? 0 : kProcessesMaximumAge);
  newWindows_ = false;
  markExcluded();
  const bool shown = std::any_of(windows_.begin(), windows_.end(),
                                 [&](const Window& window) { return window.excluded && inArea(window); });
  if (!shown) {
    setRedirected(false);
    // So that a window appearing later over bare desktop has something to show beneath it.
    if (canCompose_ && now - backgroundAt_ >= kBackgroundMaximumAge) rememberBackground();
    return Mode::direct;
  }
  if (!canCompose_) return Mode::masked;
  setRedirected(true);
  return now >= settledAt_ ? Mode::composed : Mode::masked;
}

void WindowComposer::createPictures() {
  xcb_connection_t* c = connection_.get();
  const auto side = [](int value) { return static_cast<uint16_t>(value); };
  const uint8_t depth = connection_.screen()->root_depth;
  frame_ = xcb_generate_id(c);
  background_ = xcb_generate_id(c);
  xcb_create_pixmap(c, depth, frame_, connection_.root(), side(width_), side(height_));
  xcb_create_pixmap(c, depth, background_, connection_.root(), side(width_), side(height_));
  framePicture_ = xcb_generate_id(c);
  backgroundPicture_ = xcb_generate_id(c);
  backgroundSource_ = xcb_generate_id(c);
  rootPicture_ = xcb_generate_id(c);
  xcb_render_create_picture(c, framePicture_, frame_, rootFormat_, 0, nullptr);
  xcb_render_create_picture(c, backgroundPicture_, background_, rootFormat_, 0, nullptr);
  xcb_render_create_picture(c, backgroundSource_, background_, rootFormat_, 0, nullptr);
  const uint32_t includeInferiors = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
  xcb_render_create_picture(c, rootPicture_, connection_.root(), rootFormat_, XCB_RENDER_CP_SUBWINDOW_MODE,
                            &includeInferiors);
  const xcb_render_color_t black{0, 0, 0, 0xffff};
  const xcb_rectangle_t all{0, 0, side(width_), side(height_)};
  xcb_render_fill_rectangles(c, XCB_RENDER_PICT_OP_SRC, backgroundPicture_, black, 1, &all);
  if (uncovered_) xcb_xfixes_set_picture_clip_region(c, backgroundPicture_, uncovered_, 0, 0);
  seen_ = xcb_generate_id(c);
  xcb_xfixes_create_region(c, seen_, 0, nullptr);
}

void WindowComposer::rememberBackground() {
  if (!frame_) createPictures();
  xcb_connection_t* c = connection_.get();
  xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, rootPicture_, XCB_NONE, backgroundPicture_,
                       static_cast<int16_t>(x_), static_cast<int16_t>(y_), 0, 0, 0, 0,
                       static_cast<uint16_t>(width_), static_cast<uint16_t>(height_));
  if (uncovered_) xcb_xfixes_union_region(c, seen_, uncovered_, seen_);
  backgroundAt_ = hostTimeSeconds();
}

xcb_drawable_t WindowComposer::compose() {
  xcb_connection_t* c = connection_.get();
  const auto side = [](int value) { return static_cast<uint16_t>(value); };
  rememberBackground();
  // First the root's own background, painted anew into our window's pixmap: the root may have
  // been given another since.
  if (desktop_) {
    xcb_clear_area(c, 0, desktop_, 0, 0, 0, 0);
    paintWindow(desktop_, rootFormat_, 0, 0, width_, height_, XCB_RENDER_PICT_OP_SRC);
    xcb_xfixes_set_picture_clip_region(c, framePicture_, seen_, 0, 0);
  }
  // Over it, what the screen showed where no window was, as far as that was ever seen: with a
  // compositing manager, its own wallpaper.
  xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, backgroundSource_, XCB_NONE, framePicture_, 0, 0, 0, 0, 0, 0,
                       side(width_), side(height_));
  const uint32_t unclipped = XCB_NONE;
  if (desktop_) xcb_render_change_picture(c, framePicture_, XCB_RENDER_CP_CLIP_MASK, &unclipped);
  // Bottom to top. A window that vanished since it was listed makes these requests fail on the
  // server; the errors are dropped with the other events and the frame keeps what lies beneath.
  // Over, not Src: where a window shrank since, its smaller pixmap must not clear the frame.
  for (const Window& window : windows_) {
    if (window.excluded || !window.format || !inArea(window)) continue;
    paintWindow(window.id, window.format, window.x - x_, window.y - y_, window.width, window.height,
                XCB_RENDER_PICT_OP_OVER);
  }
  return frame_;
}

void WindowComposer::paintWindow(xcb_window_t id, uint32_t format, int x, int y, int width, int height,
                                 uint8_t op) {
  xcb_connection_t* c = connection_.get();
  const xcb_pixmap_t pixmap = xcb_generate_id(c);
  const uint32_t picture = xcb_generate_id(c);
  xcb_composite_name_window_pixmap(c, id, pixmap);
  xcb_render_create_picture(c, picture, pixmap, format, 0, nullptr);
  xcb_render_composite(c, op, picture, XCB_NONE, framePicture_, 0, 0, 0, 0, static_cast<int16_t>(x),
                       static_cast<int16_t>(y), static_cast<uint16_t>(width), static_cast<uint16_t>(height));
  xcb_render_free_picture(c, picture);
  xcb_free_pixmap(c, pixmap);
}

void WindowComposer::blank(uint8_t* pixels, int stride) const {
  for (const Window& window : windows_) {
    if (!window.excluded) continue;
    const int left = std::max(window.x, x_) - x_, right = std::min(window.x + window.width, x_ + width_) - x_;
    const int top = std::max(window.y, y_) - y_, bottom = std::min(window.y + window.height, y_ + height_) - y_;
    for (int row = top; row < bottom && left < right; ++row) {
      std::memset(pixels + static_cast<size_t>(row) * stride + static_cast<size_t>(left) * 4, 0,
                  static_cast<size_t>(right - left) * 4);
    }
  }
}

}  // namespace rezoro::capture
