#include "capture/platform/pulse/excluded_playback.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

namespace rezoro::capture {

std::optional<pid_t> processIdProperty(const char* property) {
  if (property == nullptr) return std::nullopt;
  const char* end = property + std::strlen(property);
  pid_t pid = 0;
  const auto [stop, error] = std::from_chars(property, end, pid);
  if (error != std::errc{} || stop != end || property == end || pid <= 0) return std::nullopt;
  return pid;
}

void ExcludedPlayback::announced(uint32_t sinkInput, double hostTime) {
  // One already judged is judged again by its report, with nothing held back meanwhile.
  if (playing_.contains(sinkInput) || kept_.contains(sinkInput)) return;
  announced_.try_emplace(sinkInput, hostTime);
}

ExcludedPlayback::Verdict ExcludedPlayback::reported(uint32_t sinkInput, bool onSink, const char* processId,
                                                     double hostTime, double unsentFrom) {
  const auto announcement = announced_.find(sinkInput);
  double began = std::min(hostTime, unsentFrom);
  if (announcement != announced_.end()) {
    began = std::min(began, announcement->second);
    announced_.erase(announcement);
  }
  const auto leftOut = playing_.find(sinkInput);
  if (!onSink) {
    if (leftOut != playing_.end() && !leftOut->second.awaySince) leftOut->second.awaySince = hostTime;
    kept_.erase(sinkInput);
    return Verdict::elsewhere;
  }
  if (leftOut != playing_.end()) {
    leftOut->second.awaySince.reset();
    return Verdict::leaveOut;
  }
  if (const std::optional<pid_t> pid = processIdProperty(processId)) {
    // Its process may have been started a moment ago, or have a pid that came late.
    excluded_.refresh(0);
    if (excluded_.contains(*pid)) {
      kept_.erase(sinkInput);
      playing_.emplace(sinkInput, LeftOut{began, std::nullopt});
      return Verdict::leaveOut;
    }
  }
  kept_.insert(sinkInput);
  return Verdict::mix;
}

void ExcludedPlayback::removed(uint32_t sinkInput, double hostTime) {
  announced_.erase(sinkInput);
  kept_.erase(sinkInput);
  if (const auto leftOut = playing_.find(sinkInput); leftOut != playing_.end()) end(leftOut, hostTime);
}

void ExcludedPlayback::end(std::map<uint32_t, LeftOut>::iterator leftOut, double hostTime) {
  ended_.emplace_back(leftOut->second.began, hostTime);
  playing_.erase(leftOut);
}

std::vector<uint32_t> ExcludedPlayback::away(double hostTime) {
  std::vector<uint32_t> askAgain;
  for (auto leftOut = playing_.begin(); leftOut != playing_.end();) {
    const auto& since = leftOut->second.awaySince;
    if (since && hostTime - *since > kAwaySeconds) {
      end(leftOut++, *since);
      continue;
    }
    if (since) askAgain.push_back(leftOut->first);
    ++leftOut;
  }
  return askAgain;
}

bool ExcludedPlayback::playedDuring(double from, double until) const {
  auto overlaps = [&](double began, double ended) {
    return began - kMarginSeconds < until && from < ended + kMarginSeconds;
  };
  return std::any_of(playing_.begin(), playing_.end(),
                     [&](const auto& entry) { return entry.second.began - kMarginSeconds < until; }) ||
         std::any_of(ended_.begin(), ended_.end(), [&](const auto& span) { return overlaps(span.first, span.second); });
}

double ExcludedPlayback::settledUntil(double hostTime) const {
  double until = std::numeric_limits<double>::infinity();
  for (const auto& [sinkInput, at] : announced_) {
    if (hostTime - at < kPendingSeconds) until = std::min(until, at - kMarginSeconds);
  }
  return until;
}

void ExcludedPlayback::forgetBefore(double hostTime) {
  std::erase_if(ended_, [&](const auto& span) { return span.second + kMarginSeconds < hostTime; });
  std::erase_if(announced_, [&](const auto& entry) { return hostTime - entry.second > 10 * kPendingSeconds; });
}

}  // namespace rezoro::capture
