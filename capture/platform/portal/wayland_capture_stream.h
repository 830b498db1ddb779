#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "capture/platform/capture_stream.h"
#include "capture/platform/image_buffer_pool.h"
#include "capture/platform/pipewire/frame_slots.h"
#include "capture/platform/pipewire/video_frame.h"
#include "capture/runtime/serial_queue.h"

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
// buffers. Pictures come only when the screen changes, so every delivered frame is "complete". The
// wlroots portal sends none at all for a screen that has not changed since its last cast: when no
// picture has come kFirstPictureSeconds after the start, the compositor is asked for one picture of
// the streamed output itself (outputPicture(), on compositors that offer it), the output the person
// granted, and that picture is stamped at the start, as the screen showed it since. A
// picture that comes before its turn is kept (the newest replaces it) and delivered at the turn,
// stamped then (FrameSlots), or handed over by takeHeldFrame() when the recording stops.
// The desktop ending the cast (the portal closes the session: the person's "stop sharing") ends
// the stream as the person's stop (`stoppedSharing`); PipeWire losing the stream or the session bus
// going away ends it with an error. A desktop may take the stream away just before it says that
// the session closed, so a lost stream is reported only after kClosingGraceSeconds without that.
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
  std::optional<SampleBuffer> takeHeldFrame() override;

 private:
  std::optional<PlatformError> startScreen();
  void stopScreen();
  // `standIn`: the compositor's own picture of a still screen, which counts only while the portal
  // has sent none (a later one of the portal's is newer).
  void frameArrived(const VideoFrame& frame, bool standIn = false);
  // The first picture of a screen that has not changed since `started`, from the compositor (on the
  // pacer's thread), stamped then.
  void askForFirstPicture(double started);
  // The held picture's turn may have come (on the pacer's thread).
  void releaseHeld();
  void holdPicture(const VideoFrame& frame, const PixelArea& area);
  // Converts `area` of `frame` into a pooled buffer: a sample stamped `seconds`, or none.
  std::optional<SampleBuffer> converted(const VideoFrame& frame, const PixelArea& area, double seconds);
  void deliver(SampleBuffer sample);
  void reportFailure(const std::string& message, bool stoppedSharing = false);
  // The screen's PipeWire stream failed or went away (on the PipeWire thread).
  void screenLost(const std::string& message);

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
  std::atomic<bool> pictureSeen_{false};
  ImageBufferPool pool_;

  // The pacing, shared by the PipeWire thread, the pacer's and the recorder's queue.
  std::mutex pacingMutex_;
  FrameSlots slots_;
  std::vector<uint8_t> held_;  // the held picture's source area, rows packed
  PixelArea heldArea_;         // its size (at 0, 0 of held_)
  PixelOrder heldOrder_ = PixelOrder::bgra;
  double heldArrival_ = 0;  // host seconds
  bool releaseArmed_ = false;
  double lastStamp_ = 0;
  ImageBuffer bgra_;  // the picture before it becomes I420
  std::unique_ptr<SerialQueue> pacer_;  // its timers give held pictures their turn

  // The sound half. Declared after everything its failures reach in this stream.
  std::unique_ptr<SystemAudioStream> audio_;
  bool hasAudioOutput_ = false;

  // Start and stop run here, one at a time. Declared last so it ends first.
  StreamControl control_;
};

}  // namespace rezoro::capture
