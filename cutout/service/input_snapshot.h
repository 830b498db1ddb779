#pragma once

#include <cstdint>
#include <filesystem>

#include "common/unique_fd.h"

namespace rezoro::cutout {

// The largest input file a job copies: far above any photo of maximumImagePixels, low enough that
// a mislabelled giant file cannot exhaust memory.
inline constexpr int64_t maximumInputBytes = int64_t{1} << 30;

// A private copy of an input file, read from the file exactly once and sealed against change, so
// that every stage of a job (header, decoding, recovery) sees the bytes whose header was checked,
// whatever happens to the file meanwhile.
class InputSnapshot {
 public:
  // Opens `path` (following links) without blocking, so that a FIFO or device cannot hold the
  // caller, and copies it. Throws CutoutFailure: invalidInput for anything but a readable regular
  // file, imageTooLarge above maximumInputBytes, nativeFailure when the copy cannot be made.
  static InputSnapshot take(const std::filesystem::path& path);

  // A path that opens the copy while this object lives.
  std::filesystem::path path() const;
  // The copy's size in bytes.
  int64_t size() const { return size_; }

 private:
  InputSnapshot(UniqueFd memory, int64_t size) : memory_(std::move(memory)), size_(size) {}

  UniqueFd memory_;
  int64_t size_;
};

}  // namespace rezoro::cutout
