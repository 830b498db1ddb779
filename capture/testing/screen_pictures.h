#pragma once
// Pictures of the screen and of recorded files, decoded to RGB, and where a colour lies in them:
// what the desktop tests compare to tell that a region was recorded where the screen showed it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

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

// `box` (in a screen's pixels) in the pixels of a file that recorded the screen from (`originX`,
// `originY`) at `factor` file pixels per screen pixel.
inline Box mappedBox(const Box& box, double originX, double originY, double factor) {
  return {int((box.left - originX) * factor), int((box.top - originY) * factor), int((box.right - originX) * factor),
          int((box.bottom - originY) * factor)};
}

// Each edge of `recorded` (in a file's pixels) within 2 pixels of where `shown` (in the screen's)
// lands in the file: the screen recorded from (`originX`, `originY`) at `factor`.
inline void expectWhereShown(const Box& shown, const Box& recorded, double originX, double originY, double factor,
                             const std::string& what) {
  EXPECT_NEAR(recorded.left, (shown.left - originX) * factor, 2) << what;
  EXPECT_NEAR(recorded.top, (shown.top - originY) * factor, 2) << what;
  EXPECT_NEAR(recorded.right, (shown.right - originX) * factor, 2) << what;
  EXPECT_NEAR(recorded.bottom, (shown.bottom - originY) * factor, 2) << what;
}

// Where a pointer at (`x`, `y`) pixels may draw its cursor, on a screen of `pixelsPerPoint`: from
// 16 points above and left of it to 48 points below and right.
inline Box aroundPointer(double x, double y, double pixelsPerPoint) {
  const int reach = int(std::lround(48 * pixelsPerPoint)), margin = int(std::lround(16 * pixelsPerPoint));
  return {int(x) - margin, int(y) - margin, int(x) + reach, int(y) + reach};
}

// The colour of one pixel of a decoded picture.
inline Rgb colourAt(const Picture& picture, int x, int y) {
  const size_t at = (size_t(y) * picture.width + x) * 3;
  if (x < 0 || y < 0 || x >= picture.width || picture.rgb.size() < at + 3) return {};
  return {uint8_t(picture.rgb[at]), uint8_t(picture.rgb[at + 1]), uint8_t(picture.rgb[at + 2])};
}

// The cursor in `square` of a picture that shows it over a plain background: the pixels unlike
// the square's top-left corner.
inline Box cursorIn(const Picture& picture, const Box& square) {
  return boxWhere(picture, colourAt(picture, square.left, square.top), false, square);
}

// A pointer rests at (`x`, `y`) pixels of `screen` (`pixelsPerPoint` of them a point) over a plain
// background: its cursor shows there, its tip (the arrow's hotspot) at the pointer within the
// arrow's outline, and each of `files`, which recorded the screen from (`originX`, `originY`) at
// `factor` file pixels per screen pixel, shows it within 2 pixels of that place.
inline void expectCursorAtPointer(const Picture& screen, const std::vector<std::pair<std::string, Picture>>& files,
                                  double x, double y, double pixelsPerPoint, double originX, double originY,
                                  double factor) {
  const Box around = aroundPointer(x, y, pixelsPerPoint);
  const Box cursor = cursorIn(screen, around);
  ASSERT_GT(cursor.right, cursor.left) << "the cursor is not on the screen";
  EXPECT_NEAR(cursor.left, x, 3 * pixelsPerPoint) << "the cursor's tip";
  EXPECT_NEAR(cursor.top, y, 3 * pixelsPerPoint) << "the cursor's tip";
  for (const auto& [name, file] : files) {
    expectWhereShown(cursor, cursorIn(file, mappedBox(around, originX, originY, factor)), originX, originY, factor,
                     "the cursor in " + name);
  }
}

}  // namespace rezoro::capture::testing
