#include "capture/contract/capture_request.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <vector>

#include "capture/contract/capture_failure.h"
#include "common/json_reader.h"
#include "common/unique_fd.h"

namespace rezoro::capture {
namespace {

[[noreturn]] void invalid() { throw CaptureFailure::invalidInput; }

const Json* member(const Json& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::string lowercased(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The path with "." and ".." components resolved lexically and without a trailing separator, the
// way a file URL of the path reports it.
std::filesystem::path standardized(const std::string& text) {
  std::filesystem::path path = std::filesystem::path(text).lexically_normal();
  std::string normal = path.string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

}  // namespace

double finiteNumber(const Json* value) {
  if (value == nullptr || !value->is_number()) invalid();
  const double number = value->get<double>();
  if (!(std::fabs(number) <= std::numeric_limits<double>::max())) invalid();
  return number;
}

CaptureRequest CaptureRequest::fromJson(const Json& object) {
  if (!object.is_object()) invalid();

  const Json* kind = member(object, "kind");
  if (kind == nullptr || !kind->is_string()) invalid();
  const std::string kindText = kind->get<std::string>();
  if (kindText != "video" && kindText != "audio") invalid();
  const bool video = kindText == "video";

  const Json* destination = member(object, "destination");
  if (destination == nullptr || !destination->is_string()) invalid();
  const std::string destinationText = destination->get<std::string>();
  if (destinationText.empty() || destinationText.front() != '/' ||
      destinationText.find('\0') != std::string::npos) {
    invalid();
  }

  const Json* captureAudio = member(object, "capture_audio");
  if (captureAudio == nullptr || !captureAudio->is_boolean()) invalid();

  const std::filesystem::path path = standardized(destinationText);
  const std::string extension = lowercased(path.extension().string());
  if (extension != (video ? ".mp4" : ".wav")) invalid();

  if (::access(path.parent_path().c_str(), W_OK) != 0) invalid();

  const double duration = finiteNumber(member(object, "duration_seconds"));
  const double pid = finiteNumber(member(object, "exclude_pid"));
  if (!(duration > 0) || duration > (video ? 30.0 : 300.0)) invalid();
  if (!(pid > 0) || pid > 2147483647.0 || std::floor(pid) != pid) invalid();
  if (!video && !captureAudio->get<bool>()) invalid();

  std::optional<CaptureRegion> region;
  if (video) {
    const Json* rect = member(object, "rect");
    if (rect == nullptr || !rect->is_array() || rect->size() != 4) invalid();
    const CaptureRegion r{finiteNumber(&(*rect)[0]), finiteNumber(&(*rect)[1]),
                          finiteNumber(&(*rect)[2]), finiteNumber(&(*rect)[3])};
    if (std::fabs(r.x) > 1000000 || std::fabs(r.y) > 1000000) invalid();
    if (r.width < 2 || r.width > 100000 || r.height < 2 || r.height > 100000) invalid();
    region = r;
  }

  CaptureRequest request;
  request.kind = kindText;
  request.destination = path;
  request.region = region;
  request.captureAudio = captureAudio->get<bool>();
  request.duration = duration;
  request.excludedPID = static_cast<int32_t>(pid);
  request.validateDestination(false);
  return request;
}

void CaptureRequest::validateDestination(bool removeReservation) const {
  struct stat status {};
  if (::lstat(destination.c_str(), &status) != 0) {
    if (errno == ENOENT) return;
    invalid();
  }
  if (!S_ISREG(status.st_mode) || status.st_size != 0) invalid();
  if (removeReservation && ::unlink(destination.c_str()) != 0) {
    throw CaptureFailure::exportFailed;
  }
}

CaptureRequest loadRequest(const std::string& path) {
  // O_NONBLOCK keeps a FIFO named as the request from blocking the open; it changes nothing for a
  // regular file, and anything else is refused below.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) invalid();
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) invalid();
  if (status.st_size < 1 || status.st_size > maximumRequestBytes) invalid();

  // One byte more than the limit tells a file that grew after the check from one that did not.
  std::vector<char> bytes(maximumRequestBytes + 1);
  const ssize_t count = ::read(fd.get(), bytes.data(), bytes.size());
  if (count <= 0 || count > maximumRequestBytes) invalid();

  Json object;
  try {
    object = parseJsonObject(std::string_view(bytes.data(), static_cast<size_t>(count)));
  } catch (const JsonReadError&) {
    invalid();
  }
  return CaptureRequest::fromJson(object);
}

}  // namespace rezoro::capture
