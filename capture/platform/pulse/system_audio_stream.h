#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "capture/platform/capture_stream.h"
#include "capture/runtime/serial_queue.h"

namespace rezoro::capture {

class PulseAudioCapture;

// Counters of the sound, for tests and benchmarks.
struct AudioStatistics {
  int64_t buffers = 0;
  int64_t frames = 0;
  std::optional<double> firstHostTime;  // when the first buffer was read
};

// The system sound as a capture stream of its own: what the default sink plays, through the
// PulseAudio API (which PipeWire's PulseAudio server answers too), as float32 48 kHz stereo in
// ~20 ms buffers stamped on CLOCK_MONOTONIC at their capture and posted to the audio output's queue.
// The filter's excluded applications, each with its descendant processes, are left out (every
// other sink input recorded on its own, see PulseAudioCapture); the filter's display is not used.
// It takes an audio output only, and records when `capturesAudio` (otherwise it starts and stops
// without a sound server).
//
// The X11 and the Wayland screen streams each hold one for their sound, and audio recordings use
// one alone. A screen stream that holds one hears of its failures through `onFailure` instead of a
// delegate, so that the whole stream ends, and reports it, once.
class SystemAudioStream : public CaptureStream {
 public:
  // On a thread of the stream, at most once, never after stopCapture was called.
  using FailureHandler = std::function<void(const PlatformError&)>;

  SystemAudioStream(ContentFilter filter, StreamConfiguration configuration, std::weak_ptr<StreamDelegate> delegate);
  SystemAudioStream(ContentFilter filter, StreamConfiguration configuration, FailureHandler onFailure);
  // Stops capturing and waits for the stream's threads; nothing is delivered afterwards.
  ~SystemAudioStream() override;

  std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                               SerialQueue& queue) override;
  void startCapture(ErrorCompletion completion) override;
  void stopCapture(ErrorCompletion completion) override;

  AudioStatistics statistics() const;

 private:
  enum class State { idle, running, stopped };

  void startOnControl(ErrorCompletion completion);
  void stopOnControl(ErrorCompletion completion);
  void reportFailure(const std::string& message);

  const ContentFilter filter_;
  const StreamConfiguration configuration_;
  const FailureHandler onFailure_;

  std::mutex mutex_;  // guards the destination and the state against the caller's thread
  std::optional<OutputDestination> output_;
  State state_ = State::idle;
  bool startRequested_ = false;

  std::atomic<bool> stopping_{false};
  std::atomic<bool> failureReported_{false};
  mutable std::mutex statisticsMutex_;
  AudioStatistics statistics_;

  std::unique_ptr<PulseAudioCapture> capture_;  // touched only on control_

  // Start, stop and teardown run here, one at a time, away from the caller's queue. Declared last
  // so it ends (and joins) before anything it uses.
  StreamControl control_;
};

}  // namespace rezoro::capture
