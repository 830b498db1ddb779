#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "capture/platform/capture_stream.h"
#include "capture/platform/process_tree.h"
#include "capture/platform/pulse/audio_timeline.h"

namespace rezoro::capture {

// Records what the default sink plays (its monitor, "@DEFAULT_MONITOR@") from the sound server
// named by PULSE_SERVER or the user's default, as interleaved float32 48 kHz stereo in ~20 ms
// buffers. Each buffer is stamped with the monotonic time at which its first frame was captured:
// the time it was read minus the audio still waiting (our buffer and the source's latency), kept
// seamless between neighbours by an AudioTimeline. Follows the default sink: when another sink
// becomes the default (headphones plugged in), the record stream moves to its monitor. Never starts
// a sound server of its own.
// With processes to exclude, the sink's sink inputs are recorded one by one instead, and those of
// the excluded processes left out (SinkInputMixer).
// A server that goes away once recording runs (a restart, a crash) is no failure: nothing is handed
// on while it is gone (the time passes in silence), a new connection is tried every
// kReconnectSeconds, and once it is accepted the recording starts over on it, the buffers again
// stamped at their capture. Only the start needs the server.
class SinkInputMixer;
class PulseAudioCapture {
 public:
  static constexpr double kSampleRate = 48000;
  static constexpr int kChannelCount = 2;
  static constexpr double kFragmentSeconds = 0.020;
  static constexpr double kReconnectSeconds = 0.1;
  // A new connection that has not started recording this long after it was asked for is given up
  // and tried again.
  static constexpr double kAttemptSeconds = 3.0;

  using BufferHandler = std::function<void(SampleBuffer)>;         // on the sound thread
  using FailureHandler = std::function<void(const PlatformError&)>;  // on the sound thread, once

  PulseAudioCapture(BufferHandler onBuffer, FailureHandler onFailure, ProcessTree excluded = ProcessTree({}));
  ~PulseAudioCapture();  // stop()
  PulseAudioCapture(const PulseAudioCapture&) = delete;
  PulseAudioCapture& operator=(const PulseAudioCapture&) = delete;

  // Connects and waits until the record stream runs; an error when the server cannot be reached,
  // refuses the stream, or does not answer within `timeoutSeconds`. Called once.
  std::optional<PlatformError> start(double timeoutSeconds = 5.0);
  // Waits until the sound captured up to now has been handed on: the buffers still on their way,
  // and the last kDelaySeconds that the per-application mix holds back for its streams (so that a
  // recording keeps its sound up to its stop). Buffers captured later may come too. Call before
  // stop(), from any thread but the sound thread.
  void drain();
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

  struct TimerFree {
    pa_mainloop_api* api;
    void operator()(pa_time_event* event) const { api->time_free(event); }
  };

  // A new context, connecting; false when the connection cannot even be asked for.
  bool connect();
  // Starts recording on the connected context: the monitor's record stream, or the mixer. False
  // when the server refuses to begin.
  bool beginRecording();
  bool recording() const;
  bool refused() const;  // the stream or mixer of this connection will not record
  // The stream, the mixer and the context released, on the sound thread's lock.
  void release();
  // The server is gone (or refused us): hand on what was captured, then try again shortly.
  void connectionLost();
  // Every kReconnectSeconds while the connection is lost: start over when the attempt failed or
  // takes too long; done once recording again.
  void watchReconnection();
  void armReconnection();
  static void contextStateChanged(pa_context* context, void* self);
  static void streamStateChanged(pa_stream* stream, void* self);
  static void streamReadable(pa_stream* stream, size_t bytes, void* self);
  static void streamOverflowed(pa_stream* stream, void* self);
  static void serverChanged(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
  void followDefaultSink(const pa_sink_info& sink);
  void fail(const char* what);
  void readAvailable();

  BufferHandler onBuffer_;
  FailureHandler onFailure_;
  std::unique_ptr<pa_threaded_mainloop, MainloopFree> mainloop_;
  std::unique_ptr<pa_context, ContextRelease> context_;
  std::unique_ptr<pa_stream, StreamRelease> stream_;
  ProcessTree excluded_;  // kept over reconnections: members that left their parent stay members
  const bool mixes_;
  std::unique_ptr<SinkInputMixer> mixer_;  // instead of stream_ when processes are excluded
  std::unique_ptr<pa_time_event, TimerFree> reconnection_;  // armed while the connection is lost
  bool lost_ = false;                  // under the loop's lock
  double attemptStarted_ = 0;          // when the present connection was asked for
  AudioTimeline timeline_{kSampleRate};  // touched on the sound thread only
  bool loopRunning_ = false;
  bool running_ = false;             // start() succeeded; touched under the loop's lock
  std::atomic<bool> stopping_{false};
  std::atomic<bool> failed_{false};
};

// An audio sample of `samples` (interleaved float32 48 kHz stereo) captured from `hostTime` on.
SampleBuffer audioBuffer(double hostTime, std::shared_ptr<const std::vector<float>> samples);

// Reads all that a float32 48 kHz stereo record stream holds, handing each run of frames to `onRun`
// with the host time of its first frame, placed by `timeline`. False when the stream could not be
// read.
bool readRecordStream(pa_stream* stream, AudioTimeline& timeline,
                      const std::function<void(double hostTime, const float* samples, int64_t frames)>& onRun);

}  // namespace rezoro::capture
