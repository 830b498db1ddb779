#pragma once
// The rezoro-capture program recording as the parent application runs it: a request file, standard
// input a pipe held by the test, standard output and error into files of the folder.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "capture/testing/test_basics.h"
#include "common/json_line.h"
#include "common/unique_fd.h"

namespace rezoro::capture::testing {

class RecordingProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts `program` recording `request` (written to `folder`/request.json); as "nobody" when
  // `unprivileged` and the tests run as root.
  RecordingProcess(const std::filesystem::path& folder, const std::string& request, const std::string& program,
                   bool unprivileged = false)
      : folder_(folder) {
    const auto requestPath = folder / "request.json";
    std::ofstream(requestPath) << request;
    ::chmod(requestPath.c_str(), 0644);
    // A program that has ended closes its input; writing to it then must not end the test.
    ::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    UniqueFd readEnd(fds[0]);
    input_ = UniqueFd(fds[1]);
    const std::string out = (folder / "stdout.txt").string(), err = (folder / "stderr.txt").string();
    // Emptied before the program starts, so that an earlier run's output is never taken for its.
    std::ofstream(out, std::ios::trunc).flush();
    std::ofstream(err, std::ios::trunc).flush();
    started_ = Clock::now();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(readEnd.get(), 0);
      const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(outFd, 1);
      ::dup2(errFd, 2);
      if (unprivileged && ::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(120);
      ::execl(program.c_str(), program.c_str(), "--record", requestPath.c_str(), nullptr);
      ::_exit(127);
    }
  }
  ~RecordingProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  RecordingProcess(const RecordingProcess&) = delete;
  RecordingProcess& operator=(const RecordingProcess&) = delete;

  // Writes to the program's input; false when it is no longer read (the program has ended).
  bool write(const std::string& text) {
    return ::write(input_.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  void closeInput() { input_.reset(); }
  void signal(int number) { ::kill(pid_, number); }

  // The exit status, or -1 when the program did not end within `limit` or was killed.
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        ended_ = Clock::now();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // Waits until the program has written something on standard output or error (or ended), and
  // returns when that happened, or none when nothing came within `limit`.
  std::optional<Clock::time_point> waitForOutput(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (!output().empty() || !error().empty()) return Clock::now();
      if (pid_ < 0) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

  // Waits until the program holds SIGINT and SIGTERM (blocked, caught or ignored), which it does
  // first thing in main; before that, while the loader is still at work (a few hundred milliseconds
  // on a loaded machine), the default action of a signal ends any process. False when that did not
  // happen within `limit`.
  bool waitUntilStopSignalsHeld(std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
    const uint64_t both = (uint64_t{1} << (SIGINT - 1)) | (uint64_t{1} << (SIGTERM - 1));
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
      uint64_t held = 0;
      for (std::string line; std::getline(status, line);) {
        for (const char* field : {"SigBlk:", "SigIgn:", "SigCgt:"}) {
          if (line.rfind(field, 0) == 0) held |= std::stoull(line.substr(std::strlen(field)), nullptr, 16);
        }
      }
      if ((held & both) == both) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  Clock::time_point started() const { return started_; }
  std::optional<Clock::time_point> ended() const { return ended_; }
  std::string output() const { return contents(folder_ / "stdout.txt"); }
  std::string error() const { return contents(folder_ / "stderr.txt"); }
  Json result() const {
    const std::string text = output();
    return text.empty() ? Json() : Json::parse(text);
  }
  // The one line the program printed on either stream, parsed; none unless there is exactly one
  // line in all and it is JSON.
  std::optional<Json> onlyLine() const {
    const std::string text = output() + error();
    if (text.empty() || text.find('\n') != text.size() - 1) return std::nullopt;
    Json line = Json::parse(text, nullptr, false);
    if (line.is_discarded()) return std::nullopt;
    return line;
  }

 private:
  static std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path folder_;
  UniqueFd input_;
  pid_t pid_ = -1;
  Clock::time_point started_;
  std::optional<Clock::time_point> ended_;
};

}  // namespace rezoro::capture::testing
