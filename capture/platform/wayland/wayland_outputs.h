#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/platform/pipewire/video_frame.h"
#include "capture/platform/wayland/output_layout.h"

namespace rezoro::capture {

// The outputs of the Wayland compositor this process is a client of (WAYLAND_DISPLAY, else
// "wayland-0", in XDG_RUNTIME_DIR), each with its current mode (wl_output) and its logical position
// and size (zxdg_output_manager_v1), in the order the compositor announced them. Nothing (with the
// reason in `message`) when there is no compositor to reach, it offers no xdg-output, or it does not
// answer within `seconds`. Connects, asks, and disconnects: nothing is kept.
std::optional<std::vector<WaylandOutput>> waylandOutputs(double seconds, std::string& message);

// A picture of an output as its pixels are, rows packed top to bottom.
struct OutputPicture {
  int width = 0, height = 0, stride = 0;
  PixelOrder order = PixelOrder::bgra;
  std::vector<uint8_t> pixels;
};

// The bytes of a picture of `width` × `height` pixels of 4 bytes, `stride` bytes a row, as a
// compositor describes the buffer it wants; nothing when those figures hold no such picture (an
// empty one, rows shorter than their pixels, or more than 1 GiB). They come from another process:
// checked before any of them sizes a mapping or a copy.
std::optional<size_t> pictureBytes(uint32_t width, uint32_t height, uint32_t stride);

// What the output named `outputName` shows now, the cursor drawn in, asked of a wlroots compositor
// (wlr-screencopy's plain copy, which answers whether or not the screen changed). Nothing (with the
// reason in `message`) on a compositor without it, for an output it does not know, for pixels in
// a format other than 8-bit BGRA or RGBA, or when no picture came within `seconds`.
std::optional<OutputPicture> outputPicture(const std::string& outputName, double seconds, std::string& message);

}  // namespace rezoro::capture
