#pragma once

#include <array>
#include <cstdint>
#include <filesystem>

#include "cutout/segmentation/gray_mask.h"

namespace rezoro::cutout {

// How the mask PNG is compressed. Masks are long runs of 0 and 255 whose rows mostly repeat the row
// above: the "up" row filter with zlib's fastest level encodes an 8000 × 8000 mask in about a fifth
// of the time libpng's default (adaptive filters, level 6) takes, at a similar size
// (bench/segmentation_export_bench.cc).
enum class PngRowFilter { up, adaptive };
inline constexpr int maskPngCompressionLevel = 1;
inline constexpr PngRowFilter maskPngRowFilter = PngRowFilter::up;

// Writes `mask` as an 8-bit gray PNG without alpha or gamma to a hidden temporary file in the
// destination's directory and renames it over `destination`, so a reader sees the old file or the
// complete new one. Returns {width, height}. Throws CutoutFailure: invalidInput for an empty size,
// imageTooLarge above maximumImagePixels, exportFailed when the bytes do not match the size or the
// file cannot be written or renamed. No temporary file is left behind on any path.
std::array<int64_t, 2> exportGrayscaleMask(const GrayMask& mask, const std::filesystem::path& destination);

// Encodes `mask` (whose size has been checked) as a gray PNG at `compressionLevel` (0..9) to `fd`.
// Returns false, silently, when libpng or the write fails.
bool writeGrayPng(int fd, const GrayMask& mask, int compressionLevel, PngRowFilter filter);

}  // namespace rezoro::cutout
