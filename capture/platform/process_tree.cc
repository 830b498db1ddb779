#include "capture/platform/process_tree.h"

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "capture/samples/media_time.h"

namespace rezoro::capture {
namespace {

struct ProcessEntry {
  pid_t parent = 0;
  uint64_t startTime = 0;
};

// Fields of /proc/PID/stat after the command name, which may hold spaces and parentheses: the
// state is field 3, the parent field 4 and the start time field 22.
bool readStat(const std::filesystem::path& file, ProcessEntry& entry) {
  std::ifstream in(file);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  for (int index = 3; index <= 22 && fields >> field; ++index) {
    if (index == 4) entry.parent = static_cast<pid_t>(std::stol(field));
    if (index == 22) {
      entry.startTime = std::stoull(field);
      return true;
    }
  }
  return false;
}

}  // namespace

ProcessTree::ProcessTree(std::vector<pid_t> roots, std::filesystem::path processTable)
    : processTable_(std::move(processTable)) {
  for (pid_t root : roots) {
    // init is every process's ancestor: as a root it would take in the whole machine.
    ProcessEntry entry;
    try {
      if (root > 1 && readStat(processTable_ / std::to_string(root) / "stat", entry)) roots_[root] = entry.startTime;
    } catch (const std::exception&) {
      // A malformed entry is no process of ours.
    }
  }
}

void ProcessTree::refresh(double maximumAge) {
  const double now = hostTimeSeconds();
  if (roots_.empty() || (maximumAge > 0 && now - readAt_ < maximumAge)) return;
  readAt_ = now;

  std::map<pid_t, ProcessEntry> table;
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(processTable_, error)) {
    const std::string name = item.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    ProcessEntry entry;
    try {
      if (readStat(item.path() / "stat", entry)) table[static_cast<pid_t>(std::stol(name))] = entry;
    } catch (const std::exception&) {
      // A malformed or vanished entry is no process of ours.
    }
  }

  std::map<pid_t, uint64_t> members;
  for (const auto& [pid, startTime] : members_) {
    const auto found = table.find(pid);
    if (found != table.end() && found->second.startTime == startTime) members.emplace(pid, startTime);
  }
  for (const auto& [root, startTime] : roots_) {
    if (const auto found = table.find(root); found != table.end() && found->second.startTime == startTime) {
      members.emplace(root, startTime);
    }
  }
  // Parents first is not guaranteed by pid order (pids wrap), so spread until nothing changes.
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [pid, entry] : table) {
      if (!members.contains(pid) && members.contains(entry.parent)) {
        members.emplace(pid, entry.startTime);
        grew = true;
      }
    }
  }
  members_ = std::move(members);
}

}  // namespace rezoro::capture
