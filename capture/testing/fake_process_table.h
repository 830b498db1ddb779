#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "capture/testing/test_basics.h"

namespace rezoro::capture::testing {

// A process table of our own making: /proc/PID/stat files with only the fields that are read.
class FakeProcessTable {
 public:
  void add(pid_t pid, pid_t parent, uint64_t startTime = 100, const std::string& name = "app") {
    std::filesystem::create_directories(path_ / std::to_string(pid));
    std::ofstream(path_ / std::to_string(pid) / "stat")
        << pid << " (" << name << ") S " << parent << " 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 "
        << startTime << " 1000 100\n";
  }
  void remove(pid_t pid) { std::filesystem::remove_all(path_ / std::to_string(pid)); }
  const std::filesystem::path& path() const { return folder_.path(); }

 private:
  TempDir folder_;
  const std::filesystem::path& path_ = folder_.path();
};

}  // namespace rezoro::capture::testing
