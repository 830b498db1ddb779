#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "capture/platform/pulse/audio_timeline.h"
#include "capture/platform/capture_stream.h"

namespace rezoro::capture {

// Records what the default sink plays (its monitor, "@DEFAULT_MONITOR@") from the sound server
// named by PULSE_SERVER or the user's default, as interleaved float32 48 kHz stereo in ~20 ms
// buffers. Each buffer is stamped with the monotonic time at which its first frame was captured:
// the time it was read minus the audio still waiting (our buffer and the source's latency), kept
// seamless between neighbours by an AudioTimeline. Never starts a sound server of its own.
class PulseAudioCapture {
 public:
  static constexpr double kSampleRate = 48000;
  static constexpr int kChannelCount = 2;
  static constexpr double kFragmentSeconds = 0.020;

  using BufferHandler = std::function<void(SampleBuffer)>;         // on the sound thread
  using FailureHandler = std::function<void(const PlatformError&)>;  // on the sound thread, once

  PulseAudioCapture(BufferHandler onBuffer, FailureHandler onFailure);
  ~PulseAudioCapture();  // stop()
  PulseAudioCapture(const PulseAudioCapture&) = delete;
  PulseAudioCapture& operator=(const PulseAudioCapture&) = delete;

  // Connects and waits until the record stream runs; an error when the server cannot be reached,
  // refuses the stream, or does not answer within `timeoutSeconds`. Called once.
  std::optional<PlatformError> start(double timeoutSeconds = 5.0);
  // Disconnects and ends the sound thread; no handler runs after it returns. Idempotent.
  void stop();

 private:
  struct MainloopFree {
    void operator()(pa_threaded_mainloop* loop) const { pa_threaded_mainloop_free(loop); }
  };
  struct ContextRelease {
    void operator()(pa_context* context) const;
  };
  struct StreamRelease {
    void operator()(pa_stream* stream) const;
  };

  static void contextStateChanged(pa_context* context, void* self);
  static void streamStateChanged(pa_stream* stream, void* self);
  static void streamReadable(pa_stream* stream, size_t bytes, void* self);
  static void streamOverflowed(pa_stream* stream, void* self);
  void fail(const char* what);
  void readAvailable();

  BufferHandler onBuffer_;
  FailureHandler onFailure_;
  std::unique_ptr<pa_threaded_mainloop, MainloopFree> mainloop_;
  std::unique_ptr<pa_context, ContextRelease> context_;
  std::unique_ptr<pa_stream, StreamRelease> stream_;
  AudioTimeline timeline_{kSampleRate};  // touched on the sound thread only
  bool loopRunning_ = false;
  bool running_ = false;             // the stream reached READY; touched under the loop's lock
  std::atomic<bool> stopping_{false};
  std::atomic<bool> failed_{false};
};

}  // namespace rezoro::capture
