#pragma once

#include <filesystem>

namespace rezoro::cutout {

// Serves cut-out requests named on standard input from `directory` until the input ends.
// Returns 0 at the end of input, or 2, having printed the invalid-input line and read nothing, when
// `directory` is not a directory this process can write into.
int serve(const std::filesystem::path& directory);

}  // namespace rezoro::cutout
