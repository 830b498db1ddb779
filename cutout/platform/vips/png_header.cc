#include "cutout/platform/vips/png_header.h"

#include <array>
#include <cstring>

namespace rezoro::cutout {

std::optional<std::pair<uint32_t, uint32_t>> pngHeaderSize(std::span<const unsigned char> head) {
  static constexpr std::array<unsigned char, 16> expected = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n',
                                                             0,    0,   0,   13,  'I',  'H',  'D',  'R'};
  if (head.size() < pngHeaderBytes || std::memcmp(head.data(), expected.data(), expected.size()) != 0) {
    return std::nullopt;
  }
  auto bigEndian = [&](size_t at) {
    return (uint32_t{head[at]} << 24) | (uint32_t{head[at + 1]} << 16) | (uint32_t{head[at + 2]} << 8) |
           uint32_t{head[at + 3]};
  };
  return std::pair{bigEndian(16), bigEndian(20)};
}

}  // namespace rezoro::cutout
