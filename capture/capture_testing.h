#pragma once
// Helpers shared by the capture program's tests.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

namespace rezoro::capture::testing {

// Everything a shell command prints on its standard output (ffprobe, ffmpeg, sox in the tests).
inline std::string commandOutput(const std::string& command) {
  std::string text;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return text;
  char buffer[4096];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, count);
  ::pclose(pipe);
  return text;
}

// Both ends of a pipe, for standing in for a program's standard input.
struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    readEnd = UniqueFd(fds[0]);
    writeEnd = UniqueFd(fds[1]);
  }
  void write(const std::string& text) const {
    ASSERT_EQ(::write(writeEnd.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  UniqueFd readEnd, writeEnd;
};

// A fresh directory under the system's temporary directory, removed with its contents at the end.
// Open to every user so that a child running as "nobody" can reach inside.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rezoro-capture-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
    ::chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
      if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
      }
    }
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void writeTextFile(const std::filesystem::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// The uid/gid of "nobody"; children switch to it so that permission checks apply even when the
// tests run as root.
inline constexpr uid_t kNobody = 65534;

// Runs `body` in a forked child that has dropped to "nobody" when the tests run as root, and
// returns the child's exit status (the body's return value), or -1 when it could not run.
inline int exitStatusAsUnprivileged(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(120);
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace rezoro::capture::testing
