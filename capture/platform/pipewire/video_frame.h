#pragma once

#include <cstdint>

#include "capture/platform/capture_stream.h"

namespace rezoro::capture {

// Byte order of a 32-bit pixel in memory. BGRA here is libyuv's "ARGB" and our kPixelFormatBGRA.
enum class PixelOrder { bgra, rgba };

// A picture as a PipeWire buffer holds it, valid only while the callback it is handed to runs.
struct VideoFrame {
  const uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
  PixelOrder order = PixelOrder::bgra;
  double hostSeconds = 0;  // when it was captured, on CLOCK_MONOTONIC
};

// A rectangle of whole pixels.
struct PixelArea {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const PixelArea&) const = default;
};

// The part of `frame` that the display-local rectangle `source` (points) covers at `scale` pixels
// per point, clipped to the frame; none when nothing of it is inside.
std::optional<PixelArea> sourcePixels(const DisplayRect& source, double scale, int frameWidth, int frameHeight);

// Copies `area` of `frame` into `out` as opaque BGRA, scaled to out's size (box filter). False when
// `area` does not lie within the frame or the frame is malformed.
bool convertFrame(const VideoFrame& frame, const PixelArea& area, ImageBuffer& out);

}  // namespace rezoro::capture
