#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace rezoro::cutout {

// The bytes pngHeaderSize needs: the signature and the IHDR chunk's length, type, width and height.
inline constexpr size_t pngHeaderBytes = 24;

// The width and height from a PNG's IHDR chunk, or nothing when `head` does not start like a PNG
// (signature, then an IHDR chunk of 13 bytes) or is shorter than pngHeaderBytes.
std::optional<std::pair<uint32_t, uint32_t>> pngHeaderSize(std::span<const unsigned char> head);

}  // namespace rezoro::cutout
