#include "cutout/service/file_checks.h"

#include <sys/stat.h>
#include <unistd.h>

namespace rezoro::cutout {

namespace fs = std::filesystem;

fs::path standardizedPath(const fs::path& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  if (error) absolute = path;
  fs::path normal = absolute.lexically_normal();
  // "dir/" normalises to "dir/"; callers join names onto, or take the parent of, the entry itself.
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal;
}

bool isRegularReadableFile(const fs::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

bool isWritableDirectory(const fs::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && ::access(path.c_str(), W_OK) == 0;
}

}  // namespace rezoro::cutout
