#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "capture/platform/capture_stream.h"
#include "capture/platform/image_buffer_pool.h"
#include "capture/serial_queue.h"

namespace rezoro::capture {

class ScreenCastSession;
class PipeWireVideoStream;
class SystemAudioStream;

// What a granted screen cast leaves behind: the portal session and its PipeWire stream, both
// already running. Dropping it ends the cast.
struct PortalScreen {
  std::unique_ptr<ScreenCastSession> session;
  std::unique_ptr<PipeWireVideoStream> video;
  ~PortalScreen();  // the video stream before the session that carries it
};

// The capture stream of a Wayland desktop. Screen: the pictures of the portal's stream, cropped to
// the source rectangle, scaled to the configured size and format (BGRA or I420, libyuv), at most one per minimum frame
// interval, stamped with the producer's capture time on CLOCK_MONOTONIC, from a pool of `queueDepth`
// buffers. Pictures come only when the screen changes, so every delivered frame is "complete".
// The portal closing the session or PipeWire losing the stream ends the stream with an error.
// Audio is the system sound of a SystemAudioStream held by this one, as on X11 (with the same
// exclusion), which the sound server of a Wayland desktop (PipeWire's or PulseAudio) answers.
class WaylandCaptureStream : public CaptureStream {
 public:
  // `screen` may be null when no screen output will be added (audio recordings).
  WaylandCaptureStream(ContentFilter filter, StreamConfiguration configuration,
                       std::weak_ptr<StreamDelegate> delegate, std::shared_ptr<PortalScreen> screen);
  ~WaylandCaptureStream() override;  // stops capturing; nothing is delivered afterwards

  std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                               SerialQueue& queue) override;
  void startCapture(ErrorCompletion completion) override;
  void stopCapture(ErrorCompletion completion) override;

 private:
  std::optional<PlatformError> startScreen();
  void stopScreen();
  void frameArrived(const struct VideoFrame& frame);
  void reportFailure(const std::string& message);

  const ContentFilter filter_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<StreamDelegate> delegate_;
  const double interval_;

  std::mutex mutex_;  // guards what the caller's thread and the control queue share
  std::shared_ptr<PortalScreen> screen_;
  std::optional<OutputDestination> screenOutput_;
  bool startRequested_ = false;
  bool running_ = false;

  std::atomic<bool> stopping_{false};
  std::atomic<bool> failureReported_{false};
  ImageBufferPool pool_;
  double nextFrame_ = 0;  // on the PipeWire thread only
  ImageBuffer bgra_;      // on the PipeWire thread only: the picture before it becomes I420

  // The sound half. Declared after everything its failures reach in this stream.
  std::unique_ptr<SystemAudioStream> audio_;
  bool hasAudioOutput_ = false;

  // Start and stop run here, one at a time. Declared last so it ends first.
  std::unique_ptr<SerialQueue> control_;
};

}  // namespace rezoro::capture
