#include "capture/platform/pulse/pulse_audio_capture.h"

#include <pulse/rtclock.h>
#include <pulse/timeval.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capture/platform/pulse/sink_input_mixer.h"

namespace rezoro::capture {
namespace {

constexpr size_t kBytesPerFrame = sizeof(float) * PulseAudioCapture::kChannelCount;

// Holds the sound thread's lock for a scope.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

// Wakes waiters of the loop once `seconds` have passed, so that a wait for a state can time out.
class WakeUp {
 public:
  WakeUp(pa_context* context, pa_threaded_mainloop* loop, double seconds)
      : api_(pa_threaded_mainloop_get_api(loop)) {
    event_ = pa_context_rttime_new(
        context, pa_rtclock_now() + static_cast<pa_usec_t>(seconds * 1e6),
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* loop) {
          pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
        },
        loop);
  }
  ~WakeUp() {
    if (event_) api_->time_free(event_);
  }
  WakeUp(const WakeUp&) = delete;
  WakeUp& operator=(const WakeUp&) = delete;

 private:
  pa_mainloop_api* api_;
  pa_time_event* event_ = nullptr;
};

PlatformError soundError(const std::string& what, pa_context* context) {
  return {what + ": " + pa_strerror(pa_context_errno(context))};
}

}  // namespace

void PulseAudioCapture::ContextRelease::operator()(pa_context* context) const {
  pa_context_unref(context);
}

void PulseAudioCapture::StreamRelease::operator()(pa_stream* stream) const {
  pa_stream_unref(stream);
}

PulseAudioCapture::PulseAudioCapture(BufferHandler onBuffer, FailureHandler onFailure, ProcessTree excluded)
    : onBuffer_(std::move(onBuffer)),
      onFailure_(std::move(onFailure)),
      excluded_(std::move(excluded)),
      mixes_(!excluded_.empty()) {}

PulseAudioCapture::~PulseAudioCapture() { stop(); }

std::optional<PlatformError> PulseAudioCapture::start(double timeoutSeconds) {
  mainloop_.reset(pa_threaded_mainloop_new());
  if (!mainloop_) return PlatformError{"cannot create the sound thread"};
  if (pa_threaded_mainloop_start(mainloop_.get()) < 0) {
    return PlatformError{"cannot start the sound thread"};
  }
  loopRunning_ = true;

  LoopLock lock(mainloop_.get());
  const pa_usec_t end = pa_rtclock_now() + static_cast<pa_usec_t>(timeoutSeconds * 1e6);
  const bool asked = connect();
  if (!context_) return PlatformError{"cannot create a sound server context"};
  if (!asked) return soundError("cannot connect to the sound server", context_.get());
  WakeUp deadline(context_.get(), mainloop_.get(), timeoutSeconds);
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context_.get());
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) return soundError("cannot connect to the sound server", context_.get());
    if (pa_rtclock_now() >= end) return PlatformError{"the sound server did not answer in time"};
    pa_threaded_mainloop_wait(mainloop_.get());
  }
  const char* refusal = mixes_ ? "cannot find the default sink" : "cannot record the default sink's monitor";
  if (!beginRecording()) return soundError(refusal, context_.get());
  while (!recording()) {
    if (refused()) return soundError(refusal, context_.get());
    if (pa_rtclock_now() >= end) return PlatformError{"the sound server did not start recording in time"};
    pa_threaded_mainloop_wait(mainloop_.get());
  }
  running_ = true;
  return std::nullopt;
}

bool PulseAudioCapture::connect() {
  context_.reset(pa_context_new(pa_threaded_mainloop_get_api(mainloop_.get()), "rezoro-capture"));
  if (!context_) return false;
  attemptStarted_ = hostTimeSeconds();
  pa_context_set_state_callback(context_.get(), &PulseAudioCapture::contextStateChanged, this);
  // Never spawn a server: recording whatever a freshly spawned one plays would be silence.
  return pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

bool PulseAudioCapture::beginRecording() {
  if (mixes_) {
    mixer_ = std::make_unique<SinkInputMixer>(context_.get(), mainloop_.get(), excluded_, [this](SampleBuffer buffer) {
      if (!stopping_ && !failed_) onBuffer_(std::move(buffer));
    });
    mixer_->start();
    return true;
  }
  timeline_.discontinuity();  // a stream of a new connection is placed by its own time
  const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(kSampleRate), kChannelCount};
  pa_channel_map map;
  pa_channel_map_init_stereo(&map);
  stream_.reset(pa_stream_new(context_.get(), "system audio", &format, &map));
  if (!stream_) return false;
  pa_stream_set_state_callback(stream_.get(), &PulseAudioCapture::streamStateChanged, this);
  pa_stream_set_read_callback(stream_.get(), &PulseAudioCapture::streamReadable, this);
  pa_stream_set_overflow_callback(stream_.get(), &PulseAudioCapture::streamOverflowed, this);
  // On another source its first buffer is placed by its own time.
  pa_stream_set_moved_callback(
      stream_.get(), [](pa_stream*, void* self) { static_cast<PulseAudioCapture*>(self)->timeline_.discontinuity(); },
      this);

  pa_buffer_attr attributes;
  std::memset(&attributes, 0xff, sizeof attributes);  // (uint32_t)-1: the server's choice
  attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(
      static_cast<pa_usec_t>(kFragmentSeconds * 1e6), &format));
  const auto flags = static_cast<pa_stream_flags_t>(
      PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE);
  if (pa_stream_connect_record(stream_.get(), "@DEFAULT_MONITOR@", &attributes, flags) < 0) return false;
  pa_context_set_subscribe_callback(context_.get(), &PulseAudioCapture::serverChanged, this);
  if (pa_operation* subscribed = pa_context_subscribe(context_.get(), PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr)) {
    pa_operation_unref(subscribed);
  }
  return true;
}

bool PulseAudioCapture::recording() const {
  if (mixes_) return mixer_ && mixer_->ready();
  return stream_ && pa_stream_get_state(stream_.get()) == PA_STREAM_READY;
}

bool PulseAudioCapture::refused() const {
  if (mixes_) return !mixer_ || mixer_->failed();
  return !stream_ || !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()));
}

void PulseAudioCapture::release() {
  mixer_.reset();
  if (stream_) {
    pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
    pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
    pa_stream_set_overflow_callback(stream_.get(), nullptr, nullptr);
    pa_stream_set_moved_callback(stream_.get(), nullptr, nullptr);
    pa_stream_disconnect(stream_.get());
    stream_.reset();
  }
  if (context_) {
    pa_context_set_state_callback(context_.get(), nullptr, nullptr);
    pa_context_set_subscribe_callback(context_.get(), nullptr, nullptr);
    pa_context_disconnect(context_.get());
    context_.reset();
  }
}

void PulseAudioCapture::connectionLost() {
  if (stopping_ || failed_ || lost_) return;
  lost_ = true;
  if (mixer_) mixer_->flush();  // what it captured before the loss, in its place
  armReconnection();
}

void PulseAudioCapture::armReconnection() {
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_.get());
  timeval when;
  pa_gettimeofday(&when);
  pa_timeval_add(&when, static_cast<pa_usec_t>(kReconnectSeconds * 1e6));
  if (reconnection_) {
    api->time_restart(reconnection_.get(), &when);
    return;
  }
  reconnection_ = std::unique_ptr<pa_time_event, TimerFree>(
      api->time_new(
          api, &when,
          [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            static_cast<PulseAudioCapture*>(self)->watchReconnection();
          },
          this),
      TimerFree{api});
}

void PulseAudioCapture::watchReconnection() {
  if (stopping_ || failed_ || !lost_) return;
  const pa_context_state_t state = context_ ? pa_context_get_state(context_.get()) : PA_CONTEXT_FAILED;
  if (state == PA_CONTEXT_READY && recording()) {
    lost_ = false;
    return;
  }
  // Still connecting, or connected and beginning to record: wait, but not for ever (a server that
  // accepts clients before its sinks exist is asked again).
  const bool underWay = PA_CONTEXT_IS_GOOD(state) && !(state == PA_CONTEXT_READY && refused()) &&
                        hostTimeSeconds() - attemptStarted_ < kAttemptSeconds;
  if (!underWay) {
    release();
    connect();  // a refusal shows in its state by the next look
  }
  armReconnection();
}

void PulseAudioCapture::serverChanged(pa_context* context, pa_subscription_event_type_t type, uint32_t,
                                      void* opaque) {
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
  // The default sink may have changed: its name, then its monitor.
  pa_operation* asked = pa_context_get_server_info(
      context,
      [](pa_context* context, const pa_server_info* server, void* opaque) {
        auto* self = static_cast<PulseAudioCapture*>(opaque);
        if (!server || !server->default_sink_name || !self->running_ || self->stopping_) return;
        pa_operation* sink = pa_context_get_sink_info_by_name(
            context, server->default_sink_name,
            [](pa_context*, const pa_sink_info* sink, int, void* opaque) {
              auto* self = static_cast<PulseAudioCapture*>(opaque);
              if (sink && self->running_ && !self->stopping_) self->followDefaultSink(*sink);
            },
            self);
        if (sink) pa_operation_unref(sink);
      },
      opaque);
  if (asked) pa_operation_unref(asked);
}

void PulseAudioCapture::followDefaultSink(const pa_sink_info& sink) {
  if (!stream_ || !sink.monitor_source_name) return;
  const char* recorded = pa_stream_get_device_name(stream_.get());
  if (recorded && std::strcmp(recorded, sink.monitor_source_name) == 0) return;
  pa_operation* moved = pa_context_move_source_output_by_name(context_.get(), pa_stream_get_index(stream_.get()),
                                                              sink.monitor_source_name, nullptr, nullptr);
  if (moved) pa_operation_unref(moved);
}

void PulseAudioCapture::drain() {
  if (!loopRunning_ || stopping_ || failed_) return;
  // Two fragments for a buffer that was being captured now; the mix's delay besides.
  constexpr double kInFlightSeconds = 2 * kFragmentSeconds + 0.020;
  const double wait = kInFlightSeconds + (mixer_ ? SinkInputMixer::kDelaySeconds : 0.0);
  std::this_thread::sleep_for(std::chrono::duration<double>(wait));
}

void PulseAudioCapture::stop() {
  stopping_ = true;
  if (!mainloop_) return;
  if (loopRunning_) {
    {
      LoopLock lock(mainloop_.get());
      running_ = false;
      reconnection_.reset();
      release();
    }
    pa_threaded_mainloop_stop(mainloop_.get());
    loopRunning_ = false;
  }
  reconnection_.reset();
  release();
  mainloop_.reset();
}

void PulseAudioCapture::contextStateChanged(pa_context* context, void* opaque) {
  auto* self = static_cast<PulseAudioCapture*>(opaque);
  pa_threaded_mainloop_signal(self->mainloop_.get(), 0);
  if (!self->running_) return;  // start() follows the first connection itself
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY && self->lost_ && !self->stream_ && !self->mixer_) {
    self->beginRecording();  // a refusal is seen by watchReconnection
  } else if (!PA_CONTEXT_IS_GOOD(state)) {
    self->connectionLost();
  }
}

void PulseAudioCapture::streamStateChanged(pa_stream* stream, void* opaque) {
  auto* self = static_cast<PulseAudioCapture*>(opaque);
  pa_threaded_mainloop_signal(self->mainloop_.get(), 0);
  if (self->running_ && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) self->connectionLost();
}

void PulseAudioCapture::streamReadable(pa_stream*, size_t, void* opaque) {
  auto* self = static_cast<PulseAudioCapture*>(opaque);
  try {
    self->readAvailable();
  } catch (...) {  // an allocation failure must not unwind through the sound library
    self->fail("the audio capture ran out of memory");
  }
}

void PulseAudioCapture::fail(const char* what) {
  if (stopping_ || failed_.exchange(true)) return;
  running_ = false;
  onFailure_(PlatformError{what});
}

void PulseAudioCapture::streamOverflowed(pa_stream*, void* opaque) {
  // The server dropped audio we did not read in time: the next buffer starts a new stretch.
  static_cast<PulseAudioCapture*>(opaque)->timeline_.discontinuity();
}

void PulseAudioCapture::readAvailable() {
  if (stopping_ || failed_) return;
  const bool read = readRecordStream(stream_.get(), timeline_, [&](double hostTime, const float* data, int64_t frames) {
    auto samples = std::make_shared<std::vector<float>>(data, data + frames * kChannelCount);
    onBuffer_(audioBuffer(hostTime, std::move(samples)));
  });
  if (!read) connectionLost();
}

SampleBuffer audioBuffer(double hostTime, std::shared_ptr<const std::vector<float>> samples) {
  SampleBuffer buffer;
  buffer.mediaType = kMediaTypeAudio;
  buffer.presentationTime = hostMediaTime(hostTime);
  buffer.numSamples = static_cast<int64_t>(samples->size()) / PulseAudioCapture::kChannelCount;
  buffer.audioFormat =
      AudioStreamFormat{PulseAudioCapture::kSampleRate, PulseAudioCapture::kChannelCount, true};
  buffer.audioSamples = std::move(samples);
  return buffer;
}

bool readRecordStream(pa_stream* stream, AudioTimeline& timeline,
                      const std::function<void(double, const float*, int64_t)>& onRun) {
  constexpr double kSampleRate = PulseAudioCapture::kSampleRate;
  // The first unread frame was captured this long ago: the audio waiting in our buffer plus the
  // source's own latency. The interpolated pa_stream_get_latency() is not used: until the first
  // timing update it extrapolates from the stream's creation and reports most of a second of
  // latency that is not there, then slides back to the truth over a second or so.
  double age = static_cast<double>(pa_stream_readable_size(stream) / kBytesPerFrame) / kSampleRate;
  if (const pa_timing_info* timing = pa_stream_get_timing_info(stream); timing && !timing->read_index_corrupt) {
    age += std::min(static_cast<double>(timing->source_usec) * 1e-6, 1.0);
  }
  const double firstCapture = hostTimeSeconds() - age;

  int64_t framesBefore = 0;
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0) return false;
    if (bytes == 0) break;
    const auto frames = static_cast<int64_t>(bytes / kBytesPerFrame);
    if (!data) {
      timeline.skip(frames);  // a hole still occupies its time
    } else if (frames > 0) {
      onRun(timeline.place(firstCapture + static_cast<double>(framesBefore) / kSampleRate, frames),
            static_cast<const float*>(data), frames);
    }
    framesBefore += frames;
    pa_stream_drop(stream);
  }
  return true;
}

}  // namespace rezoro::capture
