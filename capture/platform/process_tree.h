#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <vector>

namespace rezoro::capture {

// The processes of some applications: each root process with every descendant, as the process
// table (`/proc`) shows them. Desktop applications play sound and open windows from helper
// processes, so an application is the whole tree below its process. Refreshed while recording: a
// helper started later joins the set at the next refresh, and a member stays one while it lives,
// even when it detaches from its parent (a double fork). A root that does not exist when the tree
// is made contributes nothing (not even a process that gets its pid later), and neither does init
// (pid 1), the ancestor of every process. Not thread-safe: each user keeps its own.
class ProcessTree {
 public:
  explicit ProcessTree(std::vector<pid_t> roots, std::filesystem::path processTable = "/proc");

  bool empty() const { return roots_.empty(); }
  // Re-reads the process table when it was last read more than `maximumAge` seconds ago (always
  // when 0).
  void refresh(double maximumAge = 0.5);
  bool contains(pid_t pid) const { return members_.contains(pid); }

 private:
  std::map<pid_t, uint64_t> roots_;  // pid → start time, as for members_
  std::filesystem::path processTable_;
  std::map<pid_t, uint64_t> members_;  // pid → start time, so a reused pid is not taken for a member
  double readAt_ = -1e300;
};

}  // namespace rezoro::capture
