#pragma once
// The small helpers nearly every capture test needs, kept together because each is a few lines
// and they are used side by side: shell output, pipes, temporary folders, the unprivileged user,
// request texts and the look for leftover recording temporaries.

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
#include <optional>
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

// The text of a recording request: for "video" the area 0,0 320×240, with the system audio when
// `audio` (always for "audio"), leaving out process 1.
inline std::string recordingRequestText(const std::string& kind, const std::filesystem::path& destination,
                                        double duration, bool audio = true) {
  std::string text = R"({"kind":")" + kind + R"(","destination":")" + destination.string() +
                     R"(","capture_audio":)" + (audio || kind == "audio" ? "true" : "false") +
                     R"(,"duration_seconds":)" + std::to_string(duration) + R"(,"exclude_pid":1)";
  if (kind == "video") text += R"(,"rect":[0,0,320,240])";
  return text + "}";
}

// Whether `folder` holds none of the hidden files recordings are written to before publication.
inline bool noRecordingTemporaryIn(const std::filesystem::path& folder) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().filename().string().rfind(".rezoro-recording-", 0) == 0) return false;
  }
  return true;
}

// A path from which "nobody" can run `program`: the program itself when that user can reach it,
// otherwise a copy in `folder` (a checkout in root's home lies out of that user's reach). None when
// not even the copy is reachable.
inline std::optional<std::string> programForUnprivileged(const std::string& program, const TempDir& folder) {
  auto reachable = [](const std::string& path) {
    return exitStatusAsUnprivileged([&] { return ::access(path.c_str(), X_OK) == 0 ? 0 : 1; }) == 0;
  };
  if (reachable(program)) return program;
  const std::filesystem::path copy = folder / "rezoro-capture";
  std::error_code error;
  std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing, error);
  if (error || ::chmod(copy.c_str(), 0755) != 0 || !reachable(copy.string())) return std::nullopt;
  return copy.string();
}

}  // namespace rezoro::capture::testing
