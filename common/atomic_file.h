#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>
#include <system_error>

namespace rezoro {

// Writes `data` to a new hidden file in `target`'s directory, flushes it to disk and renames it over
// `target`, so that a reader sees either the old file or the complete new one. Returns an empty
// error code on success; on failure the temporary file is gone and `target` is untouched. The new
// file gets `mode` (less the umask).
std::error_code writeFileAtomically(const std::filesystem::path& target, std::string_view data,
                                    mode_t mode = 0644);

// Removes a file when it goes out of scope unless dismissed; the removal's own failure is ignored.
class ScopedFileRemoval {
 public:
  explicit ScopedFileRemoval(std::filesystem::path path) : path_(std::move(path)) {}
  ScopedFileRemoval(const ScopedFileRemoval&) = delete;
  ScopedFileRemoval& operator=(const ScopedFileRemoval&) = delete;
  ~ScopedFileRemoval();

  const std::filesystem::path& path() const { return path_; }
  void dismiss() { dismissed_ = true; }

 private:
  std::filesystem::path path_;
  bool dismissed_ = false;
};

}  // namespace rezoro
