#include "capture/platform/x11/x11_capture_stream.h"

#include <utility>

#include "capture/platform/pulse/system_audio_stream.h"
#include "capture/platform/x11/screen_grabber.h"

namespace rezoro::capture {

X11CaptureStream::X11CaptureStream(ContentFilter filter, StreamConfiguration configuration,
                                   std::weak_ptr<StreamDelegate> delegate)
    : filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(std::move(delegate)),
      sound_(std::make_unique<SystemAudioStream>(
          filter_, configuration_, [this](const PlatformError& error) { reportFailure(error.message); })) {}

X11CaptureStream::~X11CaptureStream() {
  stopping_ = true;
  control_.close();
  tearDown();
}

std::optional<PlatformError> X11CaptureStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                               StreamOutputType type,
                                                               SerialQueue& queue) {
  std::lock_guard lock(mutex_);
  if (type == StreamOutputType::audio) {
    if (startRequested_) return PlatformError{"outputs must be added before the capture starts"};
    return sound_->addStreamOutput(std::move(output), type, queue);
  }
  if (type != StreamOutputType::screen) return PlatformError{"unknown output type"};
  return attachOutput(screen_, std::move(output), queue, startRequested_);
}

void X11CaptureStream::startCapture(ErrorCompletion completion) {
  std::lock_guard lock(mutex_);
  control_.postStart(startRequested_, std::move(completion),
                     [this](ErrorCompletion done) { startOnControl(std::move(done)); });
}

void X11CaptureStream::stopCapture(ErrorCompletion completion) {
  control_.post([this, completion = std::move(completion)] { stopOnControl(completion); });
}

void X11CaptureStream::startOnControl(ErrorCompletion completion) {
  auto finish = [&](std::optional<PlatformError> error) {
    if (error) tearDown();
    if (completion) completion(std::move(error));
  };
  std::optional<OutputDestination> screen;
  {
    std::lock_guard lock(mutex_);
    screen = screen_;
  }
  if (screen) {
    std::string error;
    grabber_ = ScreenGrabber::open(filter_, configuration_, error);
    if (!grabber_) return finish(PlatformError{error});
  }
  // The sound runs (or, without `capturesAudio`, merely starts) whether or not it has an output.
  if (auto error = awaitAnswer([this](ErrorCompletion done) { sound_->startCapture(std::move(done)); })) {
    return finish(std::move(error));
  }
  soundRunning_ = true;
  if (grabber_) {
    grabber_->start({
        [this, screen](SampleBuffer sample, std::optional<double> grabSeconds) {
          {
            std::lock_guard lock(statisticsMutex_);
            if (grabSeconds) {
              ++statistics_.completeFrames;
              statistics_.grabSeconds += *grabSeconds;
            } else {
              ++statistics_.idleFrames;
            }
          }
          deliver(*screen, std::move(sample), StreamOutputType::screen);
        },
        [this] {
          std::lock_guard lock(statisticsMutex_);
          ++statistics_.skippedFrames;
        },
        [this](const std::string& message) { reportFailure(message); },
    });
  }
  {
    std::lock_guard lock(mutex_);
    state_ = State::running;
  }
  finish(std::nullopt);
}

void X11CaptureStream::stopOnControl(ErrorCompletion completion) {
  State state;
  {
    std::lock_guard lock(mutex_);
    state = state_;
  }
  std::optional<PlatformError> error;
  if (state == State::running) {
    stopping_ = true;
    tearDown();
    std::lock_guard lock(mutex_);
    state_ = State::stopped;
  } else if (!(state == State::stopped && failureReported_)) {
    // A stream that already ended on its own counts as stopped.
    error = PlatformError{"the capture is not running"};
  }
  if (completion) completion(std::move(error));
}

void X11CaptureStream::tearDown() {
  grabber_.reset();
  // A sound stream that failed to start has stopped itself; one that ended on its own answers this.
  if (std::exchange(soundRunning_, false)) {
    awaitAnswer([this](ErrorCompletion done) { sound_->stopCapture(std::move(done)); });
  }
}

void X11CaptureStream::deliver(const OutputDestination& destination, SampleBuffer sample, StreamOutputType type) {
  if (!stopping_) destination.deliver(std::move(sample), type);
}

void X11CaptureStream::reportFailure(const std::string& message) {
  if (stopping_ || failureReported_.exchange(true)) return;
  if (auto delegate = delegate_.lock()) delegate->didStopWithError(PlatformError{message});
  // The whole stream ends with either half.
  control_.post([this] {
    {
      std::lock_guard lock(mutex_);
      if (state_ != State::running) return;
      state_ = State::stopped;
    }
    stopping_ = true;
    tearDown();  // without the lock: the sound thread may be waiting for it in this very function
  });
}

CaptureStatistics X11CaptureStream::statistics() const {
  CaptureStatistics statistics;
  {
    std::lock_guard lock(statisticsMutex_);
    statistics = statistics_;
  }
  const AudioStatistics sound = sound_->statistics();
  statistics.audioBuffers = sound.buffers;
  statistics.audioFrames = sound.frames;
  statistics.firstAudioHostTime = sound.firstHostTime;
  return statistics;
}

}  // namespace rezoro::capture
