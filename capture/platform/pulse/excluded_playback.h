#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace rezoro::capture {

// When the excluded processes played into the recorded sink: the spans of host time during which
// one of their sink inputs existed there, from its announcement to its removal (or its move to
// another sink), each widened by `kMarginSeconds` on both sides for the audio a sink input plays
// just before the server's event is seen and what the sink rendered of it just before its removal.
// The mix of the other sink inputs stands in for the sink's monitor over those spans only:
// elsewhere the monitor is the truer recording (the sink's own volume, every stream's first
// milliseconds).
class ExcludedPlayback {
 public:
  static constexpr double kMarginSeconds = 0.1;

  // `sinkInput` of an excluded process is on the sink from `hostTime` on; again for a known one
  // changes nothing.
  void began(uint32_t sinkInput, double hostTime);
  // `sinkInput` left the sink at `hostTime`; an unknown one is ignored.
  void ended(uint32_t sinkInput, double hostTime);
  // True when an excluded sink input was on the sink at some time of [from, until).
  bool playedDuring(double from, double until) const;
  // Forgets the spans that ended, margin included, before `hostTime`.
  void forgetBefore(double hostTime);

 private:
  std::map<uint32_t, double> playing_;              // sink input → when it began
  std::vector<std::pair<double, double>> ended_;    // [began, ended) of those gone
};

}  // namespace rezoro::capture
