#include "capture/platform/pulse/system_audio_stream.h"

#include "capture/platform/process_tree.h"
#include "capture/platform/pulse/pulse_audio_capture.h"

namespace rezoro::capture {

SystemAudioStream::SystemAudioStream(ContentFilter filter, StreamConfiguration configuration,
                                     std::weak_ptr<StreamDelegate> delegate)
    : SystemAudioStream(std::move(filter), std::move(configuration),
                        [delegate = std::move(delegate)](const PlatformError& error) {
                          if (auto receiver = delegate.lock()) receiver->didStopWithError(error);
                        }) {}

SystemAudioStream::SystemAudioStream(ContentFilter filter, StreamConfiguration configuration,
                                     FailureHandler onFailure)
    : filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      onFailure_(std::move(onFailure)) {}

SystemAudioStream::~SystemAudioStream() {
  stopping_ = true;
  control_.close();
  capture_.reset();
}

std::optional<PlatformError> SystemAudioStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                                StreamOutputType type, SerialQueue& queue) {
  std::lock_guard lock(mutex_);
  if (type != StreamOutputType::audio) return PlatformError{"unknown output type"};
  return attachOutput(output_, std::move(output), queue, startRequested_);
}

void SystemAudioStream::startCapture(ErrorCompletion completion) {
  std::lock_guard lock(mutex_);
  control_.postStart(startRequested_, std::move(completion),
                     [this](ErrorCompletion done) { startOnControl(std::move(done)); });
}

void SystemAudioStream::stopCapture(ErrorCompletion completion) {
  control_.post([this, completion = std::move(completion)] { stopOnControl(completion); });
}

void SystemAudioStream::startOnControl(ErrorCompletion completion) {
  auto finish = [&](std::optional<PlatformError> error) {
    if (error) capture_.reset();
    if (completion) completion(std::move(error));
  };
  std::optional<OutputDestination> output;
  {
    std::lock_guard lock(mutex_);
    output = output_;
  }
  if (configuration_.capturesAudio) {
    if (configuration_.sampleRate != PulseAudioCapture::kSampleRate ||
        configuration_.channelCount != PulseAudioCapture::kChannelCount) {
      return finish(PlatformError{"audio is captured at 48 kHz in stereo only"});
    }
    capture_ = std::make_unique<PulseAudioCapture>(
        [this, output](SampleBuffer sample) {
          {
            std::lock_guard lock(statisticsMutex_);
            if (!statistics_.firstHostTime) statistics_.firstHostTime = hostTimeSeconds();
            ++statistics_.buffers;
            statistics_.frames += sample.numSamples;
          }
          if (output && !stopping_) output->deliver(std::move(sample), StreamOutputType::audio);
        },
        [this](const PlatformError& error) { reportFailure(error.message); },
        ProcessTree(filter_.excludedProcessIDs()));
    if (auto error = capture_->start()) return finish(std::move(error));
  }
  {
    std::lock_guard lock(mutex_);
    state_ = State::running;
  }
  finish(std::nullopt);
}

void SystemAudioStream::stopOnControl(ErrorCompletion completion) {
  State state;
  {
    std::lock_guard lock(mutex_);
    state = state_;
  }
  std::optional<PlatformError> error;
  if (state == State::running) {
    if (capture_) capture_->drain();  // the sound up to the stop still reaches the output
    stopping_ = true;
    capture_.reset();
    std::lock_guard lock(mutex_);
    state_ = State::stopped;
  } else if (!(state == State::stopped && failureReported_)) {
    // A stream that already ended on its own counts as stopped.
    error = PlatformError{"the capture is not running"};
  }
  if (completion) completion(std::move(error));
}

void SystemAudioStream::reportFailure(const std::string& message) {
  if (stopping_ || failureReported_.exchange(true)) return;
  if (onFailure_) onFailure_(PlatformError{message});
  control_.post([this] {
    {
      std::lock_guard lock(mutex_);
      if (state_ != State::running) return;
      state_ = State::stopped;
    }
    stopping_ = true;
    capture_.reset();  // without the lock: the sound thread may be waiting for it in this very function
  });
}

AudioStatistics SystemAudioStream::statistics() const {
  std::lock_guard lock(statisticsMutex_);
  return statistics_;
}

}  // namespace rezoro::capture
