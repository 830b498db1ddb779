#include "capture/platform/pulse/excluded_playback.h"

#include <algorithm>

namespace rezoro::capture {

void ExcludedPlayback::began(uint32_t sinkInput, double hostTime) { playing_.try_emplace(sinkInput, hostTime); }

void ExcludedPlayback::ended(uint32_t sinkInput, double hostTime) {
  const auto found = playing_.find(sinkInput);
  if (found == playing_.end()) return;
  ended_.emplace_back(found->second, hostTime);
  playing_.erase(found);
}

bool ExcludedPlayback::playedDuring(double from, double until) const {
  auto overlaps = [&](double began, double ended) {
    return began - kMarginSeconds < until && from < ended + kMarginSeconds;
  };
  return std::any_of(playing_.begin(), playing_.end(),
                     [&](const auto& entry) { return entry.second - kMarginSeconds < until; }) ||
         std::any_of(ended_.begin(), ended_.end(), [&](const auto& span) { return overlaps(span.first, span.second); });
}

void ExcludedPlayback::forgetBefore(double hostTime) {
  std::erase_if(ended_, [&](const auto& span) { return span.second + kMarginSeconds < hostTime; });
}

}  // namespace rezoro::capture
