#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/platform/capture_stream.h"
#include "capture/platform/process_tree.h"
#include "capture/platform/pulse/audio_mix.h"
#include "capture/platform/pulse/audio_timeline.h"
#include "capture/platform/pulse/excluded_playback.h"

namespace rezoro::capture {

// What the default sink plays, less what the excluded processes play into it. Each sink input of
// the sink is recorded on its own (a record stream on the sink's monitor with
// pa_stream_set_monitor_stream), except those whose application.process.id is in the process tree;
// sink inputs are followed as they come, go or move (pa_context_subscribe), and so is the default
// sink: when another sink becomes the default, its sink inputs are recorded. Each stream's buffers are
// placed on the monotonic clock as a whole-sink recording would be, summed onto one timeline that
// begins when the mixer is started, and handed out every 20 ms, `kDelaySeconds` behind, as float32
// 48 kHz stereo with silence where nothing played. A stream that joins mid-sound is faded in over
// 5 ms. What was captured up to a moment has been handed out `kDelaySeconds` and a tick later.
// The sink's monitor is recorded beside them, and handed out instead of the mix wherever no sink
// input of an excluded process was on the sink (ExcludedPlayback, which judges every report of a
// sink input afresh and holds the sound back while a new one's report is awaited) and the monitor's
// audio has come: the mix stands in for the monitor only while an excluded process plays. Each stream's buffers are
// placed by estimates that may differ by some milliseconds, so when the mix takes over, it is first
// aligned to the monitor by their correlation over the last 50 ms handed out (bestLag): a steady
// sound goes on without a jump, a gap or a stretch heard twice, and so it does when the monitor
// takes back. The mix that stands in at the start, until the monitor has come (one tick at most
// after its first frame), is aligned to the monitor's first 50 ms before anything is handed out,
// when those are in by then and hold nothing excluded.
//
// Lives on the sound thread of a threaded main loop: it is made, started and released under the
// loop's lock, with a connected context, and every callback runs there.
class SinkInputMixer {
 public:
  using BufferHandler = std::function<void(SampleBuffer)>;
  // How long after their capture the mixed frames are handed out: the time every stream's buffers
  // have to arrive.
  static constexpr double kDelaySeconds = 0.2;

  // `excluded` is refreshed as sink inputs come; it must outlive the mixer.
  SinkInputMixer(pa_context* context, pa_threaded_mainloop* loop, ProcessTree& excluded, BufferHandler onBuffer);
  ~SinkInputMixer();
  SinkInputMixer(const SinkInputMixer&) = delete;
  SinkInputMixer& operator=(const SinkInputMixer&) = delete;

  // Looks up the default sink; ready() or failed() becomes true later, with a signal of the loop.
  void start();
  bool ready() const { return ready_; }
  bool failed() const { return failed_; }
  // Hands out at once all that is mixed up to now, without waiting the delay: for a connection
  // that was lost, whose streams bring nothing more.
  void flush();

 private:
  struct StreamRelease {
    void operator()(pa_stream* stream) const;
  };
  struct Input {
    SinkInputMixer* mixer = nullptr;
    std::unique_ptr<pa_stream, StreamRelease> stream;
    AudioTimeline timeline;
    uint32_t sink = PA_INVALID_INDEX;  // the sink it plays into
    std::optional<int64_t> next;  // the mix frame its next buffer continues at
    int64_t position = 0;         // frames of it mixed so far, for the fade-in
    bool ended = false;
    bool whole = false;  // the sink's monitor, not one sink input
    bool away = false;   // its sink input plays into another sink
    double awaySince = 0;
  };

  void track(pa_operation* operation);
  void sinkFound(const pa_sink_info& sink);
  // Looks up the default sink again, and follows it when it is another one.
  void lookUpDefaultSink();
  void defaultSinkChanged(const pa_sink_info& sink);
  void consider(const pa_sink_input_info& info);
  void addInput(uint32_t index, uint32_t sink);
  // Records the monitor of the sink now followed, in place of any earlier one.
  void recordWhole();
  // A connected record stream of `sinkInput` on `sink`, or of the sink's whole monitor; none when
  // the server refuses it.
  std::unique_ptr<Input> openInput(std::optional<uint32_t> sinkInput, uint32_t sink);
  void read(Input& input);
  void tick();
  // Replaces the streams that ended while their sink input lives, and drops those gone elsewhere.
  void followInputs();
  // Hands out the mix up to the frame captured at `until`.
  void mixDown(double until);
  // The mix's frames [from, until): the part already taken out of it from mixRecent_ (silence
  // before that), the rest taken out with `takeOut`, else left in it.
  std::vector<float> mixFrames(int64_t from, int64_t until, bool takeOut);
  // How far the mix lags behind the monitor's kAlignFrames frames `reference`, which are mix frames
  // from `from` on: bestLag against the mix around them, up to kLagFrames either way.
  int64_t lagBehind(const float* reference, int64_t from);
  // Sets lag_ so that the mix, handed out before the monitor's first frame, continues into it.
  void alignToMonitorStart();
  // Sets lag_ so that the mix continues the monitor handed out up to `frame`.
  void align(int64_t frame);

  pa_context* context_;
  pa_threaded_mainloop* loop_;
  ProcessTree& excluded_;
  BufferHandler onBuffer_;
  std::optional<uint32_t> sink_;
  std::string monitor_;
  bool ready_ = false;
  bool failed_ = false;
  std::map<uint32_t, std::unique_ptr<Input>> inputs_;
  std::vector<pa_operation*> operations_;  // pending answers, cancelled on release
  std::optional<AudioMix> mix_;
  std::unique_ptr<Input> whole_;     // the sink's monitor
  std::optional<AudioMix> wholeMix_;  // its audio, on the mix's frames
  std::optional<int64_t> wholeFrom_;  // the mix frame from which the present monitor stream came
  int64_t wholeReached_ = 0;          // and up to which
  ExcludedPlayback excludedPlayback_;  // which sink inputs are left out, and when they played
  int64_t lag_ = 0;                 // monitor frame k is handed out as mix frame k - lag_
  bool monitorHandedOut_ = false;   // the last stretch handed out was the monitor's
  int64_t monitorRun_ = 0;          // the monitor's frames handed out since the mix last was
  std::vector<float> mixRecent_;    // the frames last taken out of the mix, up to its taken()
  std::vector<float> wholeRecent_;  // the monitor's last frames, up to wholeMix_'s taken()
  pa_time_event* timer_ = nullptr;
  pa_usec_t nextTick_ = 0;         // when the timer is due (pa_rtclock)
  bool lateTickSkipped_ = false;   // the last tick came late and handed out nothing
  double lastTick_ = 0;            // host time of the last tick: the loop had read the server by then
};

}  // namespace rezoro::capture
