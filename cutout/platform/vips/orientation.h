#pragma once

#include <cstdint>

namespace rezoro::cutout {

// An EXIF orientation as the header gives it; values outside 1..8 mean "upright" (1).
int validOrientation(int64_t orientation);

// Whether the orientation turns the picture by a quarter, so that width and height swap (5..8).
bool swapsAxes(int orientation);

}  // namespace rezoro::cutout
