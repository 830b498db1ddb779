#include "capture/platform/portal/wayland_capture_stream.h"

#include <libyuv.h>

#include <cmath>
#include <cstring>

#include "capture/platform/pipewire/pipewire_video_stream.h"
#include "capture/platform/portal/screencast_portal.h"
#include "capture/platform/pulse/system_audio_stream.h"
#include "capture/platform/wayland/wayland_outputs.h"

namespace rezoro::capture {
namespace {

// How long a lost screen stream waits for the portal's word that the desktop ended the cast.
constexpr double kClosingGraceSeconds = 0.5;
// How long the portal has to send its first picture before the compositor is asked for one, and how
// long that may take.
constexpr double kFirstPictureSeconds = 0.1;
constexpr double kOutputPictureSeconds = 1.0;

double frameInterval(const StreamConfiguration& configuration) {
  const double interval = configuration.minimumFrameInterval.seconds();
  return std::isfinite(interval) && interval > 0 ? interval : 1.0 / 60;
}

}  // namespace

PortalScreen::~PortalScreen() {
  video.reset();
  session.reset();
}

WaylandCaptureStream::WaylandCaptureStream(ContentFilter filter, StreamConfiguration configuration,
                                           std::weak_ptr<StreamDelegate> delegate,
                                           std::shared_ptr<PortalScreen> screen)
    : filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(std::move(delegate)),
      interval_(frameInterval(configuration_)),
      screen_(std::move(screen)),
      pool_(std::max(configuration_.width, 1), std::max(configuration_.height, 1), std::max(configuration_.queueDepth, 1),
            configuration_.pixelFormat),
      slots_(interval_),
      pacer_(std::make_unique<SerialQueue>()),
      audio_(std::make_unique<SystemAudioStream>(
          filter_, configuration_, [this](const PlatformError& error) { reportFailure(error.message); })) {}

WaylandCaptureStream::~WaylandCaptureStream() {
  stopping_ = true;
  control_.close();
  stopScreen();
  {
    std::lock_guard lock(pacingMutex_);  // a release under way finishes; later ones see stopping_
  }
  pacer_.reset();
  audio_.reset();
}

std::optional<PlatformError> WaylandCaptureStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                                   StreamOutputType type, SerialQueue& queue) {
  std::lock_guard lock(mutex_);
  if (startRequested_) return PlatformError{"outputs must be added before the capture starts"};
  if (type == StreamOutputType::audio) {
    std::optional<PlatformError> error = audio_->addStreamOutput(std::move(output), type, queue);
    hasAudioOutput_ = hasAudioOutput_ || !error;
    return error;
  }
  if (type != StreamOutputType::screen) return PlatformError{"unknown output type"};
  return attachOutput(screenOutput_, std::move(output), queue, startRequested_);
}

void WaylandCaptureStream::startCapture(ErrorCompletion completion) {
  std::lock_guard lock(mutex_);
  control_.postStart(startRequested_, std::move(completion), [this](ErrorCompletion answer) {
    std::optional<PlatformError> error = startScreen();
    if (!error && hasAudioOutput_) {
      error = awaitAnswer([this](ErrorCompletion done) { audio_->startCapture(std::move(done)); });
    }
    if (error) {
      stopping_ = true;
      stopScreen();
    } else {
      std::lock_guard lock(mutex_);
      running_ = true;
    }
    if (answer) answer(std::move(error));
  });
}

void WaylandCaptureStream::stopCapture(ErrorCompletion completion) {
  control_.post([this, completion = std::move(completion)] {
    bool running;
    {
      std::lock_guard lock(mutex_);
      running = std::exchange(running_, false);
    }
    std::optional<PlatformError> error;
    if (running) {
      stopping_ = true;
      stopScreen();
      if (hasAudioOutput_) error = awaitAnswer([this](ErrorCompletion done) { audio_->stopCapture(std::move(done)); });
    } else if (!failureReported_) {
      error = PlatformError{"the capture is not running"};
    }
    if (completion) completion(std::move(error));
  });
}

std::optional<PlatformError> WaylandCaptureStream::startScreen() {
  std::shared_ptr<PortalScreen> screen;
  {
    std::lock_guard lock(mutex_);
    if (!screenOutput_) return std::nullopt;
    screen = screen_;
  }
  if (!screen || !screen->session || !screen->video) return PlatformError{"the portal granted no screen"};
  if (configuration_.pixelFormat != kPixelFormatBGRA && configuration_.pixelFormat != kPixelFormatI420) {
    return PlatformError{"only BGRA and I420 frames can be produced"};
  }
  screen->session->watchForClosing([this](bool byPortal) {
    if (byPortal) reportFailure("the desktop ended the screen cast", true);
    else reportFailure("the session bus connection was lost");
  });
  screen->video->setHandlers([this](const VideoFrame& frame) { frameArrived(frame); },
                             [this](const std::string& message) { screenLost(message); });
  const double started = hostTimeSeconds();
  pacer_->after(kFirstPictureSeconds, [this, started] { askForFirstPicture(started); });
  return std::nullopt;
}

void WaylandCaptureStream::askForFirstPicture(double started) {
  if (stopping_ || pictureSeen_) return;
  std::string message;
  const std::optional<OutputPicture> picture = outputPicture(filter_.display.name, kOutputPictureSeconds, message);
  if (!picture || stopping_ || pictureSeen_) return;
  // Only a picture of the stream's own size: the output's pixels the display's frame covers.
  const DisplayRect& display = filter_.display.frame;
  const double scale = filter_.display.pointPixelScale;
  if (std::abs(picture->width - display.width * scale) > 2 || std::abs(picture->height - display.height * scale) > 2) {
    return;
  }
  // Stamped at the start: no picture from the portal means that the screen has not changed since.
  frameArrived(
      VideoFrame{picture->pixels.data(), picture->width, picture->height, picture->stride, picture->order, started},
      /*standIn=*/true);
}

void WaylandCaptureStream::stopScreen() {
  std::shared_ptr<PortalScreen> screen;
  {
    std::lock_guard lock(mutex_);
    screen = std::move(screen_);
  }
  if (screen && screen->video) screen->video->setHandlers(nullptr, nullptr);
  // Dropping it closes the portal session (once its watcher has stopped) and the PipeWire stream.
}

void WaylandCaptureStream::frameArrived(const VideoFrame& frame, bool standIn) {
  if (stopping_) return;
  // The stream's pixels cover the display's frame; the scale follows the pictures' size.
  const DisplayRect& display = filter_.display.frame;
  const DisplayRect source = configuration_.sourceRect.value_or(DisplayRect{0, 0, display.width, display.height});
  const double scale = display.width > 0 ? frame.width / display.width : 1.0;
  const std::optional<PixelArea> area = sourcePixels(source, scale, frame.width, frame.height);
  std::optional<SampleBuffer> sample;
  {
    // Seen and claimed under the pacing lock, so that a portal picture arriving while the stand-in
    // was being taken wins.
    std::lock_guard lock(pacingMutex_);
    if (standIn && pictureSeen_) return;
    pictureSeen_ = true;
    if (!area) return;
    if (!slots_.arrive(frame.hostSeconds)) return holdPicture(frame, *area);
    sample = converted(frame, *area, frame.hostSeconds);
  }
  if (sample) deliver(std::move(*sample));
}

void WaylandCaptureStream::holdPicture(const VideoFrame& frame, const PixelArea& area) {
  // Only the source area is kept: it is what gets converted at the picture's turn.
  const size_t row = static_cast<size_t>(area.width) * 4;
  held_.resize(row * area.height);
  for (int y = 0; y < area.height; ++y) {
    std::memcpy(held_.data() + row * y,
                frame.pixels + static_cast<size_t>(frame.stride) * (area.y + y) + static_cast<size_t>(area.x) * 4, row);
  }
  heldArea_ = PixelArea{0, 0, area.width, area.height};
  heldOrder_ = frame.order;
  heldArrival_ = frame.hostSeconds;
  if (releaseArmed_) return;
  releaseArmed_ = true;
  pacer_->after(std::max(*slots_.heldUntil() - hostTimeSeconds(), 0.0), [this] { releaseHeld(); });
}

void WaylandCaptureStream::releaseHeld() {
  std::optional<SampleBuffer> sample;
  {
    std::lock_guard lock(pacingMutex_);
    releaseArmed_ = false;
    if (stopping_) return;
    const double now = hostTimeSeconds();
    const VideoFrame held{held_.data(), heldArea_.width, heldArea_.height, heldArea_.width * 4, heldOrder_, now};
    if (slots_.release(now)) {
      sample = converted(held, heldArea_, now);
    } else if (const std::optional<double> turn = slots_.heldUntil()) {
      releaseArmed_ = true;  // a timer a little early
      pacer_->after(std::max(*turn - now, 0.0), [this] { releaseHeld(); });
    }
  }
  if (sample) deliver(std::move(*sample));
}

std::optional<SampleBuffer> WaylandCaptureStream::takeHeldFrame() {
  std::lock_guard lock(pacingMutex_);
  if (stopping_ || !slots_.takeHeld()) return std::nullopt;
  // Stamped when it arrived, not now: a stop by the duration comes at the recording's end, and a
  // picture stamped then would fall outside it. It arrived after the last picture handed on.
  const VideoFrame held{held_.data(), heldArea_.width, heldArea_.height, heldArea_.width * 4, heldOrder_,
                        heldArrival_};
  return converted(held, heldArea_, heldArrival_);
}

std::optional<SampleBuffer> WaylandCaptureStream::converted(const VideoFrame& frame, const PixelArea& area,
                                                            double seconds) {
  std::shared_ptr<ImageBuffer> buffer = pool_.acquire();
  if (!buffer) return std::nullopt;
  if (buffer->pixelFormat == kPixelFormatI420) {
    // Through an opaque BGRA picture of the output size, then to the encoder's planes.
    if (bgra_.width != buffer->width || bgra_.height != buffer->height) {
      bgra_.width = buffer->width;
      bgra_.height = buffer->height;
      bgra_.bytesPerRow = buffer->width * 4;
      bgra_.bytes.assign(static_cast<size_t>(bgra_.bytesPerRow) * bgra_.height, 0);
    }
    if (!convertFrame(frame, area, bgra_) ||
        libyuv::ARGBToI420(bgra_.baseAddress(), bgra_.bytesPerRow, buffer->plane(0), buffer->bytesPerRowOfPlane(0),
                           buffer->plane(1), buffer->bytesPerRowOfPlane(1), buffer->plane(2),
                           buffer->bytesPerRowOfPlane(2), buffer->width, buffer->height) != 0) {
      return std::nullopt;
    }
  } else if (!convertFrame(frame, area, *buffer)) {
    return std::nullopt;
  }
  // Stamps only ever grow, whichever clock the producer's came from.
  lastStamp_ = std::max(seconds, lastStamp_ + 1e-5);
  SampleBuffer sample;
  sample.mediaType = kMediaTypeVideo;
  sample.numSamples = 1;
  sample.presentationTime = hostMediaTime(lastStamp_);
  sample.frameStatus = static_cast<int64_t>(FrameStatus::complete);
  sample.imageBuffer = std::move(buffer);
  return sample;
}

void WaylandCaptureStream::deliver(SampleBuffer sample) {
  std::optional<OutputDestination> destination;
  {
    std::lock_guard lock(mutex_);
    destination = screenOutput_;
  }
  if (destination && !stopping_) destination->deliver(std::move(sample), StreamOutputType::screen);
}

void WaylandCaptureStream::screenLost(const std::string& message) {
  pacer_->after(kClosingGraceSeconds, [this, message] { reportFailure(message); });
}

void WaylandCaptureStream::reportFailure(const std::string& message, bool stoppedSharing) {
  if (stopping_ || failureReported_.exchange(true)) return;
  PlatformError error{message};
  error.stoppedSharing = stoppedSharing;
  if (auto delegate = delegate_.lock()) delegate->didStopWithError(error);
}

}  // namespace rezoro::capture
