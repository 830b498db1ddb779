#pragma once

#include <array>
#include <cstdint>
#include <filesystem>

#include "cutout/segmentation/gray_mask.h"

namespace rezoro::cutout {

// The zlib level of the mask PNG: masks are mostly long runs of 0 and 255, which the fastest level
// already packs well, at half the time of the default (see bench/segmentation_export_bench.cc).
inline constexpr int maskPngCompressionLevel = 1;

// Writes `mask` as an 8-bit gray PNG without alpha or gamma to a hidden temporary file in the
// destination's directory and renames it over `destination`, so a reader sees the old file or the
// complete new one. Returns {width, height}. Throws CutoutFailure: invalidInput for an empty size,
// imageTooLarge above maximumImagePixels, exportFailed when the bytes do not match the size or the
// file cannot be written or renamed. No temporary file is left behind on any path.
std::array<int64_t, 2> exportGrayscaleMask(const GrayMask& mask, const std::filesystem::path& destination);

// Encodes `mask` (whose size has been checked) as a gray PNG at `compressionLevel` (0..9) to `fd`.
// Returns false, silently, when libpng or the write fails.
bool writeGrayPng(int fd, const GrayMask& mask, int compressionLevel);

}  // namespace rezoro::cutout
