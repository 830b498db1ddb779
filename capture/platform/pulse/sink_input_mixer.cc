#include "capture/platform/pulse/sink_input_mixer.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "capture/platform/pulse/pulse_audio_capture.h"

namespace rezoro::capture {
namespace {

constexpr double kRate = PulseAudioCapture::kSampleRate;
constexpr int kChannels = PulseAudioCapture::kChannelCount;
constexpr pa_usec_t kTickMicroseconds = 20000;
constexpr int64_t kFadeFrames = 240;              // 5 ms
constexpr int64_t kMixCapacityFrames = 48000 * 2;  // well beyond the delay
// The alignment of the mix to the monitor: over 50 ms, by up to 40 ms either way (the tolerance of
// each stream's AudioTimeline), out of the last 8192 frames of each.
constexpr int64_t kAlignFrames = 2400;
constexpr int64_t kLagFrames = 1920;
constexpr int64_t kRecentFrames = 8192;

// Appends `frames` to `recent`, keeping its last kRecentFrames frames.
void remember(std::vector<float>& recent, const std::vector<float>& frames) {
  recent.insert(recent.end(), frames.begin(), frames.end());
  const auto keep = static_cast<size_t>(kRecentFrames * kChannels);
  if (recent.size() > keep) recent.erase(recent.begin(), recent.end() - static_cast<std::ptrdiff_t>(keep));
}

// Runs `work` for a callback of the sound library, which must not be unwound through: an
// allocation failure loses what `work` was doing (a buffer, a sink input) and nothing else.
template <class Work>
void guarded(Work&& work) noexcept {
  try {
    work();
  } catch (...) {
  }
}

}  // namespace

void SinkInputMixer::StreamRelease::operator()(pa_stream* stream) const {
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_set_overflow_callback(stream, nullptr, nullptr);
  pa_stream_disconnect(stream);
  pa_stream_unref(stream);
}

SinkInputMixer::SinkInputMixer(pa_context* context, pa_threaded_mainloop* loop, ProcessTree& excluded,
                               BufferHandler onBuffer)
    : context_(context), loop_(loop), excluded_(excluded), onBuffer_(std::move(onBuffer)), excludedPlayback_(excluded) {}

SinkInputMixer::~SinkInputMixer() {
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  for (pa_operation* operation : operations_) {
    pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
  if (timer_) pa_threaded_mainloop_get_api(loop_)->time_free(timer_);
  inputs_.clear();
  whole_.reset();
}

void SinkInputMixer::track(pa_operation* operation) {
  if (!operation) return;
  std::erase_if(operations_, [](pa_operation* pending) {
    if (pa_operation_get_state(pending) == PA_OPERATION_RUNNING) return false;
    pa_operation_unref(pending);
    return true;
  });
  operations_.push_back(operation);
}

void SinkInputMixer::start() {
  track(pa_context_get_server_info(
      context_,
      [](pa_context* context, const pa_server_info* server, void* opaque) {
        auto* self = static_cast<SinkInputMixer*>(opaque);
        if (!server || !server->default_sink_name) {
          self->failed_ = true;
          pa_threaded_mainloop_signal(self->loop_, 0);
          return;
        }
        guarded([&] {
          self->track(pa_context_get_sink_info_by_name(
              context, server->default_sink_name,
              [](pa_context*, const pa_sink_info* sink, int last, void* opaque) {
                auto* self = static_cast<SinkInputMixer*>(opaque);
                if (sink) guarded([&] { self->sinkFound(*sink); });
                if (!sink && last != 0 && !self->ready_) self->failed_ = true;
                pa_threaded_mainloop_signal(self->loop_, 0);
              },
              self));
        });
      },
      this));
}

void SinkInputMixer::sinkFound(const pa_sink_info& sink) {
  if (sink_) return;
  sink_ = sink.index;
  monitor_ = sink.monitor_source_name ? sink.monitor_source_name : "";
  // Frame 0 is now: what plays from here on is recorded, and nothing from before.
  const double origin = hostTimeSeconds();
  mix_.emplace(origin, kRate, kChannels, kMixCapacityFrames);
  wholeMix_.emplace(origin, kRate, kChannels, kMixCapacityFrames);
  recordWhole();

  auto onInput = [](pa_context*, const pa_sink_input_info* info, int, void* opaque) {
    if (info) guarded([&] { static_cast<SinkInputMixer*>(opaque)->consider(*info); });
  };
  pa_context_set_subscribe_callback(
      context_,
      [](pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* opaque) {
        constexpr auto onInput = [](pa_context*, const pa_sink_input_info* info, int, void* opaque) {
          if (info) guarded([&] { static_cast<SinkInputMixer*>(opaque)->consider(*info); });
        };
        auto* self = static_cast<SinkInputMixer*>(opaque);
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) {
          guarded([&] { self->lookUpDefaultSink(); });
          return;
        }
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
        if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
          self->inputs_.erase(index);
          guarded([&] { self->excludedPlayback_.removed(index, hostTimeSeconds()); });
          return;
        }
        // It may have begun to play at any time since the loop last looked at the server.
        guarded([&] { self->excludedPlayback_.announced(index, std::min(hostTimeSeconds(), self->lastTick_)); });
        guarded([&] { self->track(pa_context_get_sink_input_info(context, index, onInput, self)); });
      },
      this);
  track(pa_context_subscribe(
      context_, static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SERVER),
      nullptr, nullptr));
  track(pa_context_get_sink_input_info_list(context_, onInput, this));

  nextTick_ = pa_rtclock_now() + kTickMicroseconds;
  lastTick_ = origin;
  timer_ = pa_context_rttime_new(
      context_, nextTick_,
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* opaque) {
        static_cast<SinkInputMixer*>(opaque)->tick();
      },
      this);
  ready_ = true;
}

void SinkInputMixer::lookUpDefaultSink() {
  track(pa_context_get_server_info(
      context_,
      [](pa_context* context, const pa_server_info* server, void* opaque) {
        auto* self = static_cast<SinkInputMixer*>(opaque);
        if (!server || !server->default_sink_name) return;
        guarded([&] {
          self->track(pa_context_get_sink_info_by_name(
              context, server->default_sink_name,
              [](pa_context*, const pa_sink_info* sink, int, void* opaque) {
                if (sink) guarded([&] { static_cast<SinkInputMixer*>(opaque)->defaultSinkChanged(*sink); });
              },
              self));
        });
      },
      this));
}

void SinkInputMixer::defaultSinkChanged(const pa_sink_info& sink) {
  if (sink.index == sink_) return;
  sink_ = sink.index;
  monitor_ = sink.monitor_source_name ? sink.monitor_source_name : "";
  recordWhole();
  // Those of the old sink end; those of the new one are recorded (and excluded) from now on.
  track(pa_context_get_sink_input_info_list(
      context_,
      [](pa_context*, const pa_sink_input_info* info, int, void* opaque) {
        if (info) guarded([&] { static_cast<SinkInputMixer*>(opaque)->consider(*info); });
      },
      this));
}

void SinkInputMixer::consider(const pa_sink_input_info& info) {
  const auto known = inputs_.find(info.index);
  // Left out from the first frame not handed out yet, or from just before its announcement when
  // the sound was held back for it: it may have played a moment before the server told.
  const ExcludedPlayback::Verdict verdict = excludedPlayback_.reported(
      info.index, info.sink == sink_, pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_ID),
      hostTimeSeconds(), mix_->hostTimeOf(mix_->taken()));
  if (verdict == ExcludedPlayback::Verdict::elsewhere) {  // not ours, or on its way to another sink
    // Kept, unheard, while its stream lives: PipeWire's follows the sink input to its next sink, so
    // that when it comes to ours it goes on without the wait of a new stream. (PulseAudio ends it.)
    if (known != inputs_.end() && !known->second->away) {
      known->second->away = true;
      known->second->awaySince = hostTimeSeconds();
    }
    return;
  }
  if (verdict == ExcludedPlayback::Verdict::leaveOut) {
    // One kept until now stops being recorded (what it gave is mixed already).
    if (known != inputs_.end()) inputs_.erase(known);
    return;
  }
  if (known != inputs_.end()) {
    known->second->away = false;
    known->second->sink = info.sink;
    return;
  }
  addInput(info.index, info.sink);
}

void SinkInputMixer::addInput(uint32_t index, uint32_t sink) {
  if (auto input = openInput(index, sink)) inputs_[index] = std::move(input);
}

void SinkInputMixer::recordWhole() {
  whole_ = sink_ ? openInput(std::nullopt, *sink_) : nullptr;
  wholeFrom_.reset();
}

std::unique_ptr<SinkInputMixer::Input> SinkInputMixer::openInput(std::optional<uint32_t> sinkInput, uint32_t sink) {
  const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(kRate), kChannels};
  pa_channel_map map;
  pa_channel_map_init_stereo(&map);
  auto input = std::make_unique<Input>(Input{this, nullptr, AudioTimeline(kRate), sink, std::nullopt, 0, false});
  input->whole = !sinkInput;
  input->stream.reset(pa_stream_new(context_, sinkInput ? "sink input" : "sink", &format, &map));
  if (!input->stream) return nullptr;
  pa_stream* stream = input->stream.get();
  if (sinkInput && pa_stream_set_monitor_stream(stream, *sinkInput) < 0) return nullptr;
  pa_stream_set_read_callback(
      stream, [](pa_stream*, size_t, void* opaque) {
        auto* input = static_cast<Input*>(opaque);
        guarded([&] { input->mixer->read(*input); });
      },
      input.get());
  pa_stream_set_overflow_callback(
      stream, [](pa_stream*, void* opaque) { static_cast<Input*>(opaque)->timeline.discontinuity(); }, input.get());
  // A sink input that vanishes before or while it is read ends its stream; what it gave stays mixed.
  pa_stream_set_state_callback(
      stream, [](pa_stream* stream, void* opaque) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) static_cast<Input*>(opaque)->ended = true;
      },
      input.get());
  pa_buffer_attr attributes;
  std::memset(&attributes, 0xff, sizeof attributes);
  attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(
      static_cast<pa_usec_t>(PulseAudioCapture::kFragmentSeconds * 1e6), &format));
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                                    PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream, monitor_.empty() ? nullptr : monitor_.c_str(), &attributes, flags) < 0) {
    return nullptr;
  }
  return input;
}

void SinkInputMixer::read(Input& input) {
  readRecordStream(input.stream.get(), input.timeline, [&](double hostTime, const float* data, int64_t frames) {
    // Continue exactly where the last buffer ended unless the timeline moved.
    int64_t at = mix_->frameAt(hostTime);
    if (input.next && std::abs(at - *input.next) <= 2) at = *input.next;
    input.next = at + frames;
    if (input.away) {
      return;  // plays into another sink
    } else if (input.whole) {
      if (!wholeFrom_) wholeFrom_ = at;
      wholeReached_ = at + frames;
      wholeMix_->add(at, data, frames);
    } else if (input.position < kFadeFrames) {
      std::vector<float> faded(data, data + frames * kChannels);
      fadeIn(faded.data(), frames, kChannels, input.position, kFadeFrames);
      mix_->add(at, faded.data(), frames);
    } else {
      mix_->add(at, data, frames);
    }
    input.position += frames;
  });
}

void SinkInputMixer::tick() {
  // A tick that comes late (the sound thread waited for a core) runs before the loop reads what the
  // server said meanwhile: it hands out nothing, once, so that a sink input announced meanwhile is
  // known before the sound of that time goes.
  const pa_usec_t now = pa_rtclock_now();
  const bool late = now > nextTick_ + 3 * kTickMicroseconds && !lateTickSkipped_;
  lateTickSkipped_ = late;
  guarded([&] {
    followInputs();
    excluded_.refresh(0.5);  // a helper that detaches from its parent later stays a member
    const double hostTime = hostTimeSeconds();
    if (!late) mixDown(std::min(hostTime - kDelaySeconds, excludedPlayback_.settledUntil(hostTime)));
    lastTick_ = hostTime;
  });
  nextTick_ = now + kTickMicroseconds;
  pa_context_rttime_restart(context_, timer_, nextTick_);
}

void SinkInputMixer::flush() {
  if (!mix_) return;
  // The monitor's sound up to where it came while it was handed out (the mix's beyond that would
  // not line up with it), else the mix's up to now.
  guarded([&] { mixDown(monitorHandedOut_ ? mix_->hostTimeOf(wholeReached_) : hostTimeSeconds()); });
}

void SinkInputMixer::followInputs() {
  // A stream that ended while its sink input lives (PulseAudio ends those of a moved sink input) is
  // replaced when the sink input is still on the sink. One whose sink input plays elsewhere is asked
  // after every tick for a second (PipeWire does not always tell of its move back), then given up.
  const double now = hostTimeSeconds();
  auto askAgain = [&](uint32_t index) {
    track(pa_context_get_sink_input_info(
        context_, index,
        [](pa_context*, const pa_sink_input_info* info, int, void* opaque) {
          if (info) guarded([&] { static_cast<SinkInputMixer*>(opaque)->consider(*info); });
        },
        this));
  };
  for (const uint32_t index : excludedPlayback_.away(now)) askAgain(index);
  std::erase_if(inputs_, [&](const auto& entry) {
    const Input& input = *entry.second;
    if (input.away && now - input.awaySince > ExcludedPlayback::kAwaySeconds) return true;
    if (input.away || input.ended) askAgain(entry.first);
    return input.ended;
  });
}

void SinkInputMixer::mixDown(double untilTime) {
  const int64_t until = mix_->frameAt(untilTime);
  const int64_t from = wholeMix_->taken();
  if (until <= from) return;
  if (from == 0) alignToMonitorStart();
  std::vector<float> whole = wholeMix_->take(until);
  // The monitor where it covers the whole stretch and nothing excluded played then.
  const bool monitor = wholeFrom_ && *wholeFrom_ <= from && until <= wholeReached_ &&
                       !excludedPlayback_.playedDuring(mix_->hostTimeOf(from), mix_->hostTimeOf(until));
  if (!monitor && monitorHandedOut_) align(from);
  monitorHandedOut_ = monitor;
  monitorRun_ = monitor ? monitorRun_ + (until - from) : 0;
  std::vector<float> frames = mixFrames(from - lag_, until - lag_, true);
  remember(wholeRecent_, whole);
  excludedPlayback_.forgetBefore(mix_->hostTimeOf(from));
  onBuffer_(audioBuffer(mix_->hostTimeOf(from),
                        std::make_shared<std::vector<float>>(std::move(monitor ? whole : frames))));
}

std::vector<float> SinkInputMixer::mixFrames(int64_t from, int64_t until, bool takeOut) {
  if (takeOut && until > mix_->taken()) remember(mixRecent_, mix_->take(until));
  const int64_t taken = mix_->taken();
  const int64_t recentFrom = taken - static_cast<int64_t>(mixRecent_.size()) / kChannels;
  std::vector<float> frames(static_cast<size_t>(std::max<int64_t>(until - from, 0) * kChannels), 0.0f);
  for (int64_t frame = std::max(from, recentFrom); frame < std::min(until, taken); ++frame) {
    std::copy_n(mixRecent_.begin() + (frame - recentFrom) * kChannels, kChannels,
                frames.begin() + (frame - from) * kChannels);
  }
  if (until > taken) {
    const int64_t first = std::max(from, taken);
    const std::vector<float> ahead = mix_->peek(first, until);
    std::copy(ahead.begin(), ahead.end(), frames.begin() + (first - from) * kChannels);
  }
  return frames;
}

int64_t SinkInputMixer::lagBehind(const float* reference, int64_t from) {
  const std::vector<float> signal = mixFrames(from - kLagFrames, from + kAlignFrames + kLagFrames, false);
  return bestLag(reference, signal.data(), kAlignFrames, kLagFrames, kChannels);
}

void SinkInputMixer::alignToMonitorStart() {
  // Nothing is handed out yet. The monitor's first frame may come a little after the mixer's
  // origin, and the mix stands in until then: placed as it is, it would not continue into the
  // monitor (each stream's estimates differ by some milliseconds), so it is aligned to the
  // monitor's first kAlignFrames now, before it is handed out: when those are in, hold nothing
  // excluded (which the mix leaves out), and every stream of the mix has come past the frames they
  // are compared with.
  if (!wholeFrom_) return;
  const int64_t first = std::max<int64_t>(*wholeFrom_, 0);
  if (wholeReached_ < first + kAlignFrames) return;
  if (excludedPlayback_.playedDuring(mix_->hostTimeOf(first), mix_->hostTimeOf(first + kAlignFrames))) return;
  for (const auto& [index, input] : inputs_) {
    if (!input->away && input->next && *input->next < first + kAlignFrames + kLagFrames) return;
  }
  lag_ = lagBehind(wholeMix_->peek(first, first + kAlignFrames).data(), first);
}

void SinkInputMixer::align(int64_t frame) {
  // The monitor's last kAlignFrames handed out, all of them its own (from a moment before the
  // excluded sound began), against the mix around them, up to kLagFrames either way: taken out
  // of it already, or still in it.
  if (monitorRun_ < kAlignFrames) return;
  lag_ = lagBehind(wholeRecent_.data() + wholeRecent_.size() - kAlignFrames * kChannels, frame - kAlignFrames);
}

}  // namespace rezoro::capture
