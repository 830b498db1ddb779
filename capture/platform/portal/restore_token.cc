#include "capture/platform/portal/restore_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "common/atomic_file.h"
#include "common/unique_fd.h"

namespace rezoro::capture {
namespace {

// Portal tokens are UUIDs or similar short printable words; anything else is not ours.
constexpr size_t kLongestToken = 512;

bool plausibleToken(const std::string& token) {
  return !token.empty() && token.size() <= kLongestToken &&
         std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 127; });
}

}  // namespace

std::optional<std::filesystem::path> restoreTokenPath() {
  std::filesystem::path state;
  const char* stateHome = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (stateHome && stateHome[0] == '/') {
    state = stateHome;
  } else if (home && home[0] == '/') {
    state = std::filesystem::path(home) / ".local" / "state";
  } else {
    return std::nullopt;
  }
  return state / "rezoro" / "screencast-restore-token";
}

std::optional<std::string> loadRestoreToken(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  std::string token(kLongestToken + 1, '\0');
  const ssize_t count = ::read(fd.get(), token.data(), token.size());
  if (count <= 0) return std::nullopt;
  token.resize(static_cast<size_t>(count));
  while (!token.empty() && token.back() == '\n') token.pop_back();
  if (!plausibleToken(token)) return std::nullopt;
  return token;
}

bool storeRestoreToken(const std::filesystem::path& path, const std::string& token) {
  if (!plausibleToken(token)) return false;
  std::error_code error;
  if (std::filesystem::create_directories(path.parent_path(), error)) ::chmod(path.parent_path().c_str(), 0700);
  if (error) return false;
  return !writeFileAtomically(path, token + "\n", 0600);
}

bool forgetRestoreToken(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::remove(path, error);
  return !error;
}

}  // namespace rezoro::capture
