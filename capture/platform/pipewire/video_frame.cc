#include "capture/platform/pipewire/video_frame.h"

#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace rezoro::capture {

std::optional<PixelArea> sourcePixels(const DisplayRect& source, double scale, int frameWidth, int frameHeight) {
  const double left = std::max(source.x * scale, 0.0);
  const double top = std::max(source.y * scale, 0.0);
  const double right = std::min((source.x + source.width) * scale, static_cast<double>(frameWidth));
  const double bottom = std::min((source.y + source.height) * scale, static_cast<double>(frameHeight));
  if (!std::isfinite(left + top + right + bottom)) return std::nullopt;
  PixelArea area{static_cast<int>(std::lround(left)), static_cast<int>(std::lround(top)), 0, 0};
  area.width = static_cast<int>(std::lround(right)) - area.x;
  area.height = static_cast<int>(std::lround(bottom)) - area.y;
  if (area.width < 1 || area.height < 1) return std::nullopt;
  return area;
}

bool convertFrame(const VideoFrame& frame, const PixelArea& area, ImageBuffer& out) {
  if (frame.pixels == nullptr || frame.width < 1 || frame.height < 1 || frame.stride < frame.width * 4 ||
      area.x < 0 || area.y < 0 || area.width < 1 || area.height < 1 || area.x + area.width > frame.width ||
      area.y + area.height > frame.height || out.width < 1 || out.height < 1) {
    return false;
  }
  const uint8_t* source = frame.pixels + static_cast<size_t>(area.y) * frame.stride + static_cast<size_t>(area.x) * 4;
  int stride = frame.stride;
  std::vector<uint8_t> reordered;
  if (frame.order == PixelOrder::rgba) {
    reordered.resize(static_cast<size_t>(area.width) * area.height * 4);
    // libyuv's "ABGR" is R, G, B, A in memory.
    libyuv::ABGRToARGB(source, stride, reordered.data(), area.width * 4, area.width, area.height);
    source = reordered.data();
    stride = area.width * 4;
  }
  if (out.width == area.width && out.height == area.height) {
    libyuv::ARGBCopy(source, stride, out.baseAddress(), out.bytesPerRow, out.width, out.height);
  } else {
    libyuv::ARGBScale(source, stride, area.width, area.height, out.baseAddress(), out.bytesPerRow, out.width,
                      out.height, libyuv::kFilterBox);
  }
  // Padding bytes are undefined, and an alpha channel means nothing on a screen: frames are opaque.
  for (int y = 0; y < out.height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(out.baseAddress() + static_cast<size_t>(y) * out.bytesPerRow);
    for (int x = 0; x < out.width; ++x) row[x] |= 0xff000000u;
  }
  return true;
}

}  // namespace rezoro::capture
