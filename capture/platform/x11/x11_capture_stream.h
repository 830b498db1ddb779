#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "capture/platform/capture_stream.h"
#include "capture/runtime/serial_queue.h"

namespace rezoro::capture {

class ScreenGrabber;
class SystemAudioStream;

// Counters of one stream, for tests and benchmarks.
struct CaptureStatistics {
  int64_t completeFrames = 0;  // delivered with an image
  int64_t idleFrames = 0;      // delivered without one: nothing changed
  int64_t skippedFrames = 0;   // changes not delivered on time because every buffer was in flight
  double grabSeconds = 0;      // reading, cursor, scaling and conversion, summed over complete frames
  int64_t audioBuffers = 0;
  int64_t audioFrames = 0;
  std::optional<double> firstAudioHostTime;  // when the first audio buffer was read
};

// The capture stream of an X11 desktop. Screen: the thread of a ScreenGrabber keeps a copy of the
// source rectangle of the filter's display, reading through MIT-SHM only the parts that XDamage
// reports as changed, at most once per minimum frame interval. From it, with the cursor drawn in
// (XFixes), it makes frames of the configured size and pixel format (BGRA or I420, libyuv) in a
// pool of `queueDepth` buffers, redoing in each only what changed since that buffer last went out.
// A frame is "complete" when it is the first or the area changed since the last complete frame
// (damage, or the cursor moved or changed within it), otherwise "idle" without an image. Audio
// (when `capturesAudio`): the system sound of a SystemAudioStream held by this one, float32 48 kHz
// stereo in ~20 ms buffers. Every sample is stamped on CLOCK_MONOTONIC at its capture and posted to
// the output's queue. Screen capture runs only when a screen output is attached: without one, this
// stream is its sound stream.
//
// The filter's excluded applications, each with its descendant processes, are left out: their
// windows by a WindowComposer, their sound by the sound stream. With nothing excluded both halves
// work as described above. Either half failing ends the whole stream.
class X11CaptureStream : public CaptureStream {
 public:
  X11CaptureStream(ContentFilter filter, StreamConfiguration configuration,
                   std::weak_ptr<StreamDelegate> delegate);
  // Stops capturing and waits for the stream's threads; nothing is delivered afterwards.
  ~X11CaptureStream() override;

  std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output,
                                               StreamOutputType type, SerialQueue& queue) override;
  void startCapture(ErrorCompletion completion) override;
  void stopCapture(ErrorCompletion completion) override;

  const ContentFilter& filter() const { return filter_; }
  const StreamConfiguration& configuration() const { return configuration_; }
  CaptureStatistics statistics() const;

 private:
  enum class State { idle, running, stopped };

  void startOnControl(ErrorCompletion completion);
  void stopOnControl(ErrorCompletion completion);
  void tearDown();
  void deliver(const OutputDestination& destination, SampleBuffer sample, StreamOutputType type);
  void reportFailure(const std::string& message);

  const ContentFilter filter_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<StreamDelegate> delegate_;

  std::mutex mutex_;  // guards the destinations and the state against the caller's thread
  std::optional<OutputDestination> screen_;
  State state_ = State::idle;
  bool startRequested_ = false;

  std::atomic<bool> stopping_{false};
  std::atomic<bool> failureReported_{false};
  mutable std::mutex statisticsMutex_;
  CaptureStatistics statistics_;

  // Touched only on control_.
  std::unique_ptr<ScreenGrabber> grabber_;
  bool soundRunning_ = false;

  // The sound half. Declared after everything its failures reach in this stream.
  const std::unique_ptr<SystemAudioStream> sound_;

  // Start, stop and teardown run here, one at a time, away from the caller's queue. Declared last
  // so it ends (and joins) before anything it uses.
  StreamControl control_;
};

}  // namespace rezoro::capture
