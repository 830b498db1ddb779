#include "capture/platform/pulse/pulse_audio_capture.h"

#include <pulse/rtclock.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

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

PulseAudioCapture::PulseAudioCapture(BufferHandler onBuffer, FailureHandler onFailure)
    : onBuffer_(std::move(onBuffer)), onFailure_(std::move(onFailure)) {}

PulseAudioCapture::~PulseAudioCapture() { stop(); }

std::optional<PlatformError> PulseAudioCapture::start(double timeoutSeconds) {
  mainloop_.reset(pa_threaded_mainloop_new());
  if (!mainloop_) return PlatformError{"cannot create the sound thread"};
  context_.reset(pa_context_new(pa_threaded_mainloop_get_api(mainloop_.get()), "rezoro-capture"));
  if (!context_) return PlatformError{"cannot create a sound server context"};
  pa_context_set_state_callback(context_.get(), &PulseAudioCapture::contextStateChanged, this);
  if (pa_threaded_mainloop_start(mainloop_.get()) < 0) {
    return PlatformError{"cannot start the sound thread"};
  }
  loopRunning_ = true;

  LoopLock lock(mainloop_.get());
  WakeUp deadline(context_.get(), mainloop_.get(), timeoutSeconds);
  const pa_usec_t end = pa_rtclock_now() + static_cast<pa_usec_t>(timeoutSeconds * 1e6);

  // Never spawn a server: recording whatever a freshly spawned one plays would be silence.
  if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return soundError("cannot connect to the sound server", context_.get());
  }
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context_.get());
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) return soundError("cannot connect to the sound server", context_.get());
    if (pa_rtclock_now() >= end) return PlatformError{"the sound server did not answer in time"};
    pa_threaded_mainloop_wait(mainloop_.get());
  }

  const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(kSampleRate), kChannelCount};
  pa_channel_map map;
  pa_channel_map_init_stereo(&map);
  stream_.reset(pa_stream_new(context_.get(), "system audio", &format, &map));
  if (!stream_) return soundError("cannot create the record stream", context_.get());
  pa_stream_set_state_callback(stream_.get(), &PulseAudioCapture::streamStateChanged, this);
  pa_stream_set_read_callback(stream_.get(), &PulseAudioCapture::streamReadable, this);
  pa_stream_set_overflow_callback(stream_.get(), &PulseAudioCapture::streamOverflowed, this);

  pa_buffer_attr attributes;
  std::memset(&attributes, 0xff, sizeof attributes);  // (uint32_t)-1: the server's choice
  attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(
      static_cast<pa_usec_t>(kFragmentSeconds * 1e6), &format));
  const auto flags = static_cast<pa_stream_flags_t>(
      PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE);
  if (pa_stream_connect_record(stream_.get(), "@DEFAULT_MONITOR@", &attributes, flags) < 0) {
    return soundError("cannot record the default sink's monitor", context_.get());
  }
  for (;;) {
    const pa_stream_state_t state = pa_stream_get_state(stream_.get());
    if (state == PA_STREAM_READY) break;
    if (!PA_STREAM_IS_GOOD(state)) return soundError("cannot record the default sink's monitor", context_.get());
    if (pa_rtclock_now() >= end) return PlatformError{"the sound server did not start recording in time"};
    pa_threaded_mainloop_wait(mainloop_.get());
  }
  running_ = true;
  return std::nullopt;
}

void PulseAudioCapture::stop() {
  stopping_ = true;
  if (!mainloop_) return;
  if (loopRunning_) {
    {
      LoopLock lock(mainloop_.get());
      running_ = false;
      if (stream_) {
        pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
        pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
        pa_stream_set_overflow_callback(stream_.get(), nullptr, nullptr);
        pa_stream_disconnect(stream_.get());
        stream_.reset();
      }
      if (context_) {
        pa_context_set_state_callback(context_.get(), nullptr, nullptr);
        pa_context_disconnect(context_.get());
        context_.reset();
      }
    }
    pa_threaded_mainloop_stop(mainloop_.get());
    loopRunning_ = false;
  }
  stream_.reset();
  context_.reset();
  mainloop_.reset();
}

void PulseAudioCapture::contextStateChanged(pa_context* context, void* opaque) {
  auto* self = static_cast<PulseAudioCapture*>(opaque);
  pa_threaded_mainloop_signal(self->mainloop_.get(), 0);
  if (self->running_ && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
    self->fail("the sound server connection was lost");
  }
}

void PulseAudioCapture::streamStateChanged(pa_stream* stream, void* opaque) {
  auto* self = static_cast<PulseAudioCapture*>(opaque);
  pa_threaded_mainloop_signal(self->mainloop_.get(), 0);
  if (self->running_ && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
    self->fail("the sound server ended the recording");
  }
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
  pa_stream* stream = stream_.get();
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
    if (pa_stream_peek(stream, &data, &bytes) < 0) {
      fail("the record stream could not be read");
      return;
    }
    if (bytes == 0) break;
    const auto frames = static_cast<int64_t>(bytes / kBytesPerFrame);
    if (!data) {
      timeline_.skip(frames);  // a hole still occupies its time
    } else if (frames > 0) {
      auto samples = std::make_shared<std::vector<float>>(static_cast<size_t>(frames) * kChannelCount);
      std::memcpy(samples->data(), data, static_cast<size_t>(frames) * kBytesPerFrame);
      SampleBuffer buffer;
      buffer.mediaType = kMediaTypeAudio;
      buffer.presentationTime = hostMediaTime(
          timeline_.place(firstCapture + static_cast<double>(framesBefore) / kSampleRate, frames));
      buffer.numSamples = frames;
      buffer.audioFormat = AudioStreamFormat{kSampleRate, kChannelCount, true, true};
      buffer.audioSamples = std::move(samples);
      onBuffer_(std::move(buffer));
    }
    framesBefore += frames;
    pa_stream_drop(stream);
  }
}

}  // namespace rezoro::capture
