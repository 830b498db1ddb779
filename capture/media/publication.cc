#include "capture/media/publication.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

namespace rezoro::capture {

bool publishWithoutReplacing(const std::filesystem::path& temporary,
                             const std::filesystem::path& destination, LinkFunction link) {
  if (link(temporary.c_str(), destination.c_str()) == 0) {
    ::unlink(temporary.c_str());
    return true;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return false;
  return ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0;
}

}  // namespace rezoro::capture
