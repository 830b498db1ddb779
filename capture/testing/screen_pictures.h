#pragma once
// Pictures of the screen and of recorded files, decoded to RGB, and where a colour lies in them:
// what the desktop tests compare to tell that a region was recorded where the screen showed it.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture::testing {

struct Rgb {
  int r = 0, g = 0, b = 0;
};

// The colour of one pixel of the picture at `seconds`.
inline Rgb pixelAt(const std::filesystem::path& file, double seconds, int x, int y, int width) {
  const std::string raw = commandOutput("ffmpeg -v error -ss " + std::to_string(seconds) + " -i '" +
                                                 file.string() + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
  const size_t at = (static_cast<size_t>(y) * width + x) * 3;
  if (raw.size() < at + 3) return {};
  return {uint8_t(raw[at]), uint8_t(raw[at + 1]), uint8_t(raw[at + 2])};
}

// A decoded picture, RGB rows packed.
struct Picture {
  int width = 0, height = 0;
  std::string rgb;
};
inline Picture decodedPicture(const std::filesystem::path& file, double seconds = 0) {
  const auto size = probeStream(file, "v:0", "width,height");
  Picture picture{std::stoi(size.at("width")), std::stoi(size.at("height")), ""};
  picture.rgb = commandOutput("ffmpeg -v error -ss " + std::to_string(seconds) + " -i '" + file.string() +
                                       "' -frames:v 1 -vf format=rgb24 -f rawvideo -");
  return picture;
}

// A bounding box of pixels (right and bottom exclusive), empty when there are none.
struct Box {
  int left = 0, top = 0, right = 0, bottom = 0;
};
// The bounding box of the pixels of `within` (all of the picture when empty) that are near
// `colour` (within 80 on every channel), or unlike it (more than 80 off on some channel).
inline Box boxWhere(const Picture& picture, Rgb colour, bool near, Box within = {}) {
  if (within.right <= within.left) within = Box{0, 0, picture.width, picture.height};
  within = Box{std::max(within.left, 0), std::max(within.top, 0), std::min(within.right, picture.width),
               std::min(within.bottom, picture.height)};
  Box box{picture.width, picture.height, 0, 0};
  if (picture.rgb.size() < size_t(picture.width) * picture.height * 3) return Box{};
  for (int y = within.top; y < within.bottom; ++y) {
    for (int x = within.left; x < within.right; ++x) {
      const auto* p = reinterpret_cast<const uint8_t*>(picture.rgb.data()) + (size_t(y) * picture.width + x) * 3;
      const bool isNear =
          std::abs(p[0] - colour.r) < 80 && std::abs(p[1] - colour.g) < 80 && std::abs(p[2] - colour.b) < 80;
      if (isNear == near) {
        box = Box{std::min(box.left, x), std::min(box.top, y), std::max(box.right, x + 1), std::max(box.bottom, y + 1)};
      }
    }
  }
  return box.right > box.left ? box : Box{};
}
inline Box boxOf(const Picture& picture, Rgb colour) { return boxWhere(picture, colour, true); }

// The colour of one pixel of a decoded picture.
inline Rgb colourAt(const Picture& picture, int x, int y) {
  const size_t at = (size_t(y) * picture.width + x) * 3;
  if (x < 0 || y < 0 || x >= picture.width || picture.rgb.size() < at + 3) return {};
  return {uint8_t(picture.rgb[at]), uint8_t(picture.rgb[at + 1]), uint8_t(picture.rgb[at + 2])};
}

}  // namespace rezoro::capture::testing
