#include "cutout/service/service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <optional>
#include <system_error>
#include <vector>

#include "common/atomic_file.h"
#include "common/json_reader.h"
#include "common/unique_fd.h"
#include "cutout/contract/cutout_failure.h"
#include "cutout/service/file_checks.h"

namespace rezoro::cutout {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view requestPrefix = "request-";
constexpr std::string_view requestSuffix = ".json";

// Splits a byte stream into lines. A line ends at "\n"; a "\r" right before it is part of the
// ending. Bytes after the last "\n" form a final line at the end of input. A line longer than
// maximumRequestNameBytes comes back cut to maximumRequestNameBytes + 1 bytes (so that no name
// matches it) and the rest of it is skipped as it arrives: the reader never holds more than one
// buffer beyond that, whatever the writer sends.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  std::optional<std::string> next() {
    for (;;) {
      const auto newline = pending_.find('\n', scanned_);
      if (newline != std::string::npos) {
        std::string line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        scanned_ = 0;
        if (skipping_) {
          skipping_ = false;
          return overlongLine();
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      if (skipping_) {
        pending_.clear();
      } else if (pending_.size() > maximumRequestNameBytes + 1) {
        // Room for a longest name and its "\r"; anything beyond is no name.
        skipping_ = true;
        pending_.clear();
      }
      scanned_ = pending_.size();
      if (ended_) {
        if (skipping_) {
          skipping_ = false;
          return overlongLine();
        }
        if (pending_.empty()) return std::nullopt;
        std::string line = std::move(pending_);
        pending_.clear();
        scanned_ = 0;
        return line;
      }
      char buffer[4096];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ended_ = true;
      } else {
        pending_.append(buffer, static_cast<size_t>(n));
      }
    }
  }

 private:
  static std::string overlongLine() { return std::string(maximumRequestNameBytes + 1, '-'); }

  int fd_;
  std::string pending_;
  size_t scanned_ = 0;
  bool ended_ = false;
  bool skipping_ = false;
};

void writeJsonFile(const fs::path& path, const Json& value) {
  const auto text = serializedJson(value);
  if (!text) throw std::runtime_error("the JSON value cannot be serialised");
  if (const auto error = writeFileAtomically(path, *text)) throw std::system_error(error);
}

}  // namespace

bool isRequestFileName(std::string_view line) {
  if (line.size() <= requestPrefix.size() + requestSuffix.size() || line.size() > maximumRequestNameBytes) return false;
  if (!line.starts_with(requestPrefix) || !line.ends_with(requestSuffix)) return false;
  const auto digits = line.substr(requestPrefix.size(), line.size() - requestPrefix.size() - requestSuffix.size());
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

Json readRequest(const fs::path& path) {
  // Non-blocking, so that a FIFO or a device under the request's name cannot hold the service in
  // open(); the type check below refuses it.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) throw CutoutFailure::invalidInput;
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 1 ||
      status.st_size > maximumRequestBytes) {
    throw CutoutFailure::invalidInput;
  }
  std::vector<char> buffer(static_cast<size_t>(maximumRequestBytes) + 1);
  ssize_t n;
  do {
    n = ::read(fd.get(), buffer.data(), buffer.size());
  } while (n < 0 && errno == EINTR);
  if (n <= 0 || n > maximumRequestBytes) throw CutoutFailure::invalidInput;
  return parseJsonObject(std::string_view(buffer.data(), static_cast<size_t>(n)));
}

int serve(const fs::path& directory, int inputFd, int outputFd, const JobRunner& runJob) {
  if (!isWritableDirectory(directory)) {
    writeJsonLine(outputFd, response(CutoutFailure::invalidInput));
    return 2;
  }
  LineReader lines(inputFd);
  while (const auto line = lines.next()) {
    if (!isRequestFileName(*line)) {
      writeJsonLine(outputFd, response(CutoutFailure::invalidInput));
      continue;
    }
    const std::string number = line->substr(requestPrefix.size(),
                                            line->size() - requestPrefix.size() - requestSuffix.size());
    const fs::path responsePath = directory / ("response-" + number + ".json");
    const fs::path phasePath = directory / ("phase-" + number + ".json");

    Json answer;
    try {
      const Json request = readRequest(directory / *line);
      const PhaseCallback phase = [&](std::string_view name) {
        writeJsonFile(phasePath, Json{{"phase", name}});
      };
      answer = Json{{"ok", true}, {"result", runJob(request, phase)}};
    } catch (const CutoutFailure failure) {
      answer = response(failure);
    } catch (const std::bad_alloc&) {
      // Running out of memory says nothing about the request: the job could not finish.
      answer = response(CutoutFailure::nativeFailure);
    } catch (...) {
      answer = response(CutoutFailure::invalidInput);
    }

    const auto text = serializedJson(answer);
    if (!text || writeFileAtomically(responsePath, *text)) {
      writeJsonLine(outputFd, response(CutoutFailure::exportFailed));
    }
  }
  return 0;
}

}  // namespace rezoro::cutout
