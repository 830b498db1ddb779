#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "capture/platform/process_tree.h"

namespace rezoro::capture {

// The process a sound server's application.process.id property names: decimal digits alone, within
// the range of a pid and above 0; nothing for anything else (it is another program's text).
std::optional<pid_t> processIdProperty(const char* property);

// Which sink inputs of the recorded sink belong to the excluded processes, and when they played
// there: the spans of host time during which one of them existed on the sink, from its report to its
// removal, each widened by `kMarginSeconds` on both sides for the audio a sink input plays just
// before the server's event is seen and what the sink rendered of it just before its removal.
// The mix of the other sink inputs stands in for the sink's monitor over those spans only:
// elsewhere the monitor is the truer recording (the sink's own volume, every stream's first
// milliseconds).
//
// Every report of a sink input is judged afresh, so no verdict is final while the sink input lives:
//   - a sink input first kept is left out once its application.process.id names an excluded
//     process (a pid that came in a later report, or a process the tree joined after the first look);
//   - a left-out sink input reported off the sink (PipeWire reports one between two links of its
//     node, and does not always report its way back) still counts as playing for kAwaySeconds, while
//     the mixer asks after it again; only then, or at its removal, does its span end;
//   - a sink input the server announced but not yet reported holds the sound back from just before
//     its announcement (settledUntil) until its report says what it is, for at most kPendingSeconds:
//     an excluded one is then left out from there, a kept one costs the monitor nothing.
class ExcludedPlayback {
 public:
  static constexpr double kMarginSeconds = 0.1;
  static constexpr double kAwaySeconds = 1.0;
  static constexpr double kPendingSeconds = 0.5;

  enum class Verdict { mix, leaveOut, elsewhere };

  // `excluded` is refreshed as sink inputs are reported; it must outlive this.
  explicit ExcludedPlayback(ProcessTree& excluded) : excluded_(excluded) {}

  // The server announced `sinkInput` (new or changed) at about `hostTime`; its report follows.
  void announced(uint32_t sinkInput, double hostTime);
  // The server's report of `sinkInput` at `hostTime`: on the recorded sink or not, with its
  // application.process.id (null when it has none). `unsentFrom` is the host time of the first frame
  // not handed on yet, from which a sink input found excluded now counts.
  Verdict reported(uint32_t sinkInput, bool onSink, const char* processId, double hostTime, double unsentFrom);
  // `sinkInput` is gone at `hostTime`.
  void removed(uint32_t sinkInput, double hostTime);
  // The left-out sink inputs reported off the sink less than kAwaySeconds before `hostTime`, to be
  // asked after again; those away longer end where they left.
  std::vector<uint32_t> away(double hostTime);
  // True when an excluded sink input was on the sink at some time of [from, until).
  bool playedDuring(double from, double until) const;
  // The host time up to which the sound may be handed on at `hostTime`: before the margin of the
  // earliest announcement still waiting for its report; infinity when none waits.
  double settledUntil(double hostTime) const;
  // Forgets the spans that ended, margin included, before `hostTime`.
  void forgetBefore(double hostTime);

 private:
  struct LeftOut {
    double began = 0;
    std::optional<double> awaySince;
  };
  void end(std::map<uint32_t, LeftOut>::iterator leftOut, double hostTime);

  ProcessTree& excluded_;
  std::map<uint32_t, LeftOut> playing_;           // left-out sink inputs on the sink
  std::vector<std::pair<double, double>> ended_;  // [began, ended) of those gone
  std::map<uint32_t, double> announced_;          // sink input → its announcement, not yet reported
  std::set<uint32_t> kept_;                       // sink inputs reported on the sink and kept
};

}  // namespace rezoro::capture
