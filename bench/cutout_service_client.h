// A rezoro-cutout service driven the way the parent application drives it: request files in a
// private folder, their names on the service's standard input, and the response files waited for.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/json_line.h"
#include "common/uuid.h"

extern char** environ;

namespace rezoro::bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Resident memory of a process in KiB: the current figure ("VmRSS") or the peak ("VmHWM").
inline long residentKiB(pid_t pid, const std::string& field = "VmRSS") {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// A name for another build's program in a comparison: the nearest folder above it that is not a
// build tree's "bin" or "build" (src-4a7c90f/build/bin/rezoro-cutout is "src-4a7c90f").
inline std::string programLabel(const std::filesystem::path& program) {
  std::filesystem::path folder = program.parent_path();
  while (folder.has_relative_path() && (folder.filename() == "bin" || folder.filename() == "build")) {
    folder = folder.parent_path();
  }
  return folder.filename().empty() ? program.string() : folder.filename().string();
}

class CutoutService {
 public:
  struct Answer {
    double seconds = 0;  // from writing the request's name to the response's appearance
    Json response;
  };

  // Starts `program --serve` on a fresh folder under the temporary directory.
  explicit CutoutService(const std::filesystem::path& program)
      : dir_(std::filesystem::temp_directory_path() / ("rezoro-cutout-bench-" + newUuidString())) {
    std::filesystem::create_directory(dir_);
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    const std::string programText = program.string();
    const std::string dirText = dir_.string();
    char* argv[] = {const_cast<char*>(programText.c_str()), const_cast<char*>("--serve"),
                    const_cast<char*>(dirText.c_str()), nullptr};
    const int spawned = posix_spawn(&pid_, programText.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    input_ = in[1];
    if (spawned != 0) {
      ::close(input_);
      throw std::runtime_error("cannot start " + programText);
    }
  }
  CutoutService(const CutoutService&) = delete;
  CutoutService& operator=(const CutoutService&) = delete;

  ~CutoutService() {
    ::close(input_);  // the end of input stops the service
    int status = 0;
    ::waitpid(pid_, &status, 0);
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
  }

  const std::filesystem::path& dir() const { return dir_; }
  pid_t pid() const { return pid_; }

  // Runs one job and waits for its response. Throws when the service has gone.
  Answer job(const Json& request) {
    const std::string number = std::to_string(++jobs_);
    std::ofstream(dir_ / ("request-" + number + ".json")) << request.dump();
    const auto response = dir_ / ("response-" + number + ".json");
    const std::string line = "request-" + number + ".json\n";
    const auto start = Clock::now();
    if (::write(input_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      throw std::runtime_error("the service closed its input");
    }
    while (!std::filesystem::exists(response)) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) throw std::runtime_error("the service exited");
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Answer answer{seconds(Clock::now() - start), {}};
    std::stringstream text;
    text << std::ifstream(response).rdbuf();
    answer.response = Json::parse(text.str());
    return answer;
  }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = 0;
  int input_ = -1;
  int jobs_ = 0;
};

}  // namespace rezoro::bench
