#pragma once
// Helpers shared by the cut-out program's tests.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace rezoro::cutout::testing {

// A fresh directory under the system's temporary directory, removed with its contents at the end.
struct TemporaryFolder {
  std::filesystem::path path;
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rezoro-cutout-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
  }
  ~TemporaryFolder() {
    std::error_code error;
    std::filesystem::remove_all(path, error);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
};

}  // namespace rezoro::cutout::testing
