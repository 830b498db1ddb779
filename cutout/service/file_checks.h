#pragma once

#include <filesystem>

namespace rezoro::cutout {

// `path` made absolute against the working directory with "." and ".." removed lexically and no
// trailing separator; symbolic links are not resolved.
std::filesystem::path standardizedPath(const std::filesystem::path& path);

// Whether `path` (following links) is a regular file this process may read.
bool isRegularReadableFile(const std::filesystem::path& path);

// Whether `path` (following links) is a directory this process may create files in.
bool isWritableDirectory(const std::filesystem::path& path);

}  // namespace rezoro::cutout
