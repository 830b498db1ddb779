#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace rezoro::cutout {

// An EXIF orientation as the header gives it; values outside 1..8 mean "upright" (1).
int validOrientation(int64_t orientation);

// Whether the orientation turns the picture by a quarter, so that width and height swap (5..8).
bool swapsAxes(int orientation);

// The stored pixels (`width` × `height`, `channels` interleaved bytes each, rows packed) turned
// upright as `orientation` says; the result is height × width when swapsAxes(orientation).
std::vector<uint8_t> uprightPixels(std::span<const uint8_t> stored, int64_t width, int64_t height, int channels,
                                   int orientation);

}  // namespace rezoro::cutout
