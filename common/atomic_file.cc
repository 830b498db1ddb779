#include "common/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/unique_fd.h"
#include "common/uuid.h"

namespace rezoro {

ScopedFileRemoval::~ScopedFileRemoval() {
  if (!dismissed_) ::unlink(path_.c_str());
}

std::error_code writeFileAtomically(const std::filesystem::path& target, std::string_view data, mode_t mode) {
  const auto error = [] { return std::error_code(errno, std::generic_category()); };
  if (!target.has_filename()) return std::make_error_code(std::errc::is_a_directory);
  // The temporary's name has a fixed length whatever the target is called, so a long target name
  // cannot push it past NAME_MAX.
  std::string name = ".rezoro-";
  name += newUuidString();
  name += ".tmp";
  const std::filesystem::path temporary = target.parent_path() / name;

  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!fd) return error();
  ScopedFileRemoval removal(temporary);

  for (size_t offset = 0; offset < data.size();) {
    const ssize_t written = ::write(fd.get(), data.data() + offset, data.size() - offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return error();
    }
    offset += static_cast<size_t>(written);
  }
  if (::fdatasync(fd.get()) != 0) return error();
  if (::close(fd.release()) != 0) return error();
  if (::rename(temporary.c_str(), target.c_str()) != 0) return error();
  removal.dismiss();
  return {};
}

}  // namespace rezoro
