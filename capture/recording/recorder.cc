#include "capture/recording/recorder.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <utility>

#include "capture/media/finishing.h"
#include "capture/media/sample_routing.h"
#include "capture/recording/stream_configuration.h"
#include "capture/runtime/bounded_wait.h"

namespace rezoro::capture {

namespace {

// The routing's view of a screen sample. The stream's picture belongs to its small pool of
// in-flight buffers, so a complete frame is copied before it goes to the encoder's queue.
ScreenSample screenSample(const SampleBuffer& sample, ScreenPictures& pictures) {
  ScreenSample screen;
  screen.frame.presentationTime = sample.presentationTime;
  screen.frameStatus = sample.frameStatus;
  if (isCompleteFrame(screen) && sample.imageBuffer) {
    if (sample.imageBuffer->pixelFormat == kPixelFormatBGRA) screen.frame.image = pictures.bgra.copy(*sample.imageBuffer);
    if (sample.imageBuffer->pixelFormat == kPixelFormatI420) screen.frame.planar = pictures.i420.copy(*sample.imageBuffer);
  }
  return screen;
}

SystemAudioSample systemAudioSample(const SampleBuffer& sample, const AudioStreamFormat& format) {
  SystemAudioSample audio;
  audio.audio.samples = sample.audioSamples;
  // A rate that is not a whole number of frames per second can never be the wave file's.
  audio.audio.sampleRate = format.sampleRate == static_cast<double>(static_cast<int32_t>(format.sampleRate))
                               ? static_cast<int32_t>(format.sampleRate)
                               : -1;
  audio.audio.channels = format.channelCount;
  audio.audio.presentationTime = sample.presentationTime;
  audio.format = format.isFloat32 ? AudioSampleFormat::float32 : AudioSampleFormat::int16;
  return audio;
}

}  // namespace

const char* recorderStateName(RecorderState state) {
  switch (state) {
    case RecorderState::created: return "created";
    case RecorderState::starting: return "starting";
    case RecorderState::asking: return "asking";
    case RecorderState::stopping: return "stopping";
    case RecorderState::recording: return "recording";
    case RecorderState::finishing: return "finishing";
    case RecorderState::completed: return "completed";
  }
  return "unknown";
}

bool recorderMoveAllowed(RecorderState from, RecorderState to) {
  using enum RecorderState;
  switch (from) {
    case created: return to == starting;
    case starting: return to == asking || to == recording || to == stopping || to == completed;
    case asking: return to == asking || to == starting || to == stopping || to == completed;
    case stopping: return to == finishing || to == completed;
    case recording: return to == recording || to == finishing || to == completed;
    case finishing: return to == completed;
    case completed: return false;
  }
  return false;
}

Recorder::Recorder(const CaptureRequest& request, RecorderServices services)
    : request_(request),
      services_(std::move(services)),
      queue_(std::make_unique<SerialQueue>([this] { workFailed(); })),
      queueOnQueue_(queue_.get()) {
  if (services_.ownProcessID == 0) services_.ownProcessID = ::getpid();
}

Recorder::~Recorder() { endQueue(); }

CaptureResult Recorder::run() {
  // Until the queue has begun, the start time-out counts from now.
  giveUpAt_ = hostTimeSeconds() + services_.startTimeout + watchMarginSeconds;
  auto delivered = std::make_shared<std::promise<CaptureResult>>();
  std::future<CaptureResult> result = delivered->get_future();
  hop([this, delivered] {
    begin([delivered](CaptureResult outcome) { delivered->set_value(std::move(outcome)); });
  });
  // The queue is looked at now and then: each state it enters moves the time to give up.
  constexpr double lookSeconds = 0.05;
  while (result.wait_for(std::chrono::duration<double>(lookSeconds)) != std::future_status::ready) {
    if (hostTimeSeconds() < giveUpAt_.load()) continue;
    // The queue is stuck (on a stalled disk, say). Whatever it does later publishes nothing.
    std::shared_ptr<PublicationClaim> claim;
    {
      std::lock_guard lock(claimMutex_);
      claim = claim_;
    }
    std::optional<Json> published = claim ? claim->giveUp() : std::nullopt;
    endQueue();
    if (published) return *published;
    return CaptureFailure::timeout;
  }
  CaptureResult outcome = result.get();
  endQueue();
  return outcome;
}

void Recorder::enter(RecorderState state, double deadline) {
  if (!recorderMoveAllowed(state_, state)) {
    throw std::logic_error(std::string("the recorder cannot move from ") + recorderStateName(state_) + " to " +
                           recorderStateName(state));
  }
  const double now = hostTimeSeconds();
  const RecorderState previous = std::exchange(state_, state);
  const uint64_t entry = ++entry_;
  enteredAt_ = now;
  deadline_ = deadline;
  if (state == RecorderState::starting) startCountedFrom_ = now;
  // The watchdog's bound: the deadline, and in recording the stop it leads to (before an audio
  // recording's first sample, the whole duration may still follow); outside the dialog and a stop
  // of it, never beyond the longest a recording can take from its last start.
  if (state != RecorderState::completed) {
    double giveUp = deadline + watchMarginSeconds;
    if (state == RecorderState::recording) {
      giveUp += (durationFrom_ ? 0 : request_.duration) + services_.stopTimeout;
    }
    const bool dialog = state == RecorderState::asking ||
                        (state == RecorderState::stopping && previous == RecorderState::asking);
    if (!dialog) {
      giveUp = std::min(giveUp, startCountedFrom_ + services_.startTimeout + request_.duration +
                                    services_.stopTimeout + queueGraceSeconds);
    }
    giveUpAt_ = giveUp;
  }
  if (services_.stateEntered) services_.stateEntered(state);
  if (deadline > 0) {
    queueOnQueue_->after(std::max(0.0, deadline - now), [this, entry] {
      if (entry == entry_) deadlineReached();
    });
  }
}

void Recorder::deadlineReached() {
  switch (state_) {
    case RecorderState::asking:
      services_.screenCapture->cancelShareableContent();
      complete(CaptureFailure::timeout);
      return;
    case RecorderState::starting:
    case RecorderState::stopping:
    case RecorderState::finishing:
      complete(CaptureFailure::timeout);
      return;
    case RecorderState::recording:
      // The duration has passed; an audio recording without a first sample has no audio.
      stop();
      return;
    case RecorderState::created:
    case RecorderState::completed:
      return;
  }
}

void Recorder::endQueue() {
  {
    std::lock_guard lock(queueMutex_);
    if (!queue_) return;
  }
  // The stream and the writer are used on the queue, so they are dropped there; the stream must
  // be gone before the queue it delivers to.
  auto droppedPromise = std::make_shared<std::promise<void>>();
  std::future<void> dropped = droppedPromise->get_future();
  queue_->async([this, droppedPromise] {
    for (QueueSource& source : sources_) source.cancel();
    sources_.clear();
    stream_.reset();
    media_.reset();
    droppedPromise->set_value();
  });
  const bool answered =
      dropped.wait_for(std::chrono::duration<double>(releaseWaitSeconds)) == std::future_status::ready;
  std::unique_ptr<SerialQueue> queue;
  {
    std::lock_guard lock(queueMutex_);
    queue = std::move(queue_);
  }
  if (!answered) {
    // The queue is stuck inside a call that never returns; joining its thread would never return
    // either. It is left running: the process ends right after reporting.
    queue->stop();
    (void)queue.release();
    return;
  }
  queue.reset();  // ends the loop and waits for its thread; work still pending is dropped
}

void Recorder::hop(std::function<void()> work) {
  std::lock_guard lock(queueMutex_);
  if (queue_) queue_->async(std::move(work));
}

void Recorder::begin(std::function<void(CaptureResult)> completion) {
  completion_ = std::move(completion);
  // Entered first: the permission check may itself wait for a server that does not answer.
  enter(RecorderState::starting, hostTimeSeconds() + services_.startTimeout);
  if (!services_.screenCapture->preflightScreenCaptureAccess()) {
    complete(CaptureFailure::permissionDenied);
    return;
  }
  installStopControls();
  std::weak_ptr<Recorder> weak = weak_from_this();
  services_.screenCapture->setPermissionSteps(
      {[weak] {
         if (auto self = weak.lock()) self->hop([raw = self.get()] { raw->permissionAsked(); });
       },
       [weak] {
         if (auto self = weak.lock()) self->hop([raw = self.get()] { raw->permissionGranted(); });
       }});
  askForContent();
}

void Recorder::permissionAsked() {
  if (state_ != RecorderState::starting && state_ != RecorderState::asking) return;
  enter(RecorderState::asking, hostTimeSeconds() + services_.permissionTimeout);
}

void Recorder::permissionGranted() {
  if (state_ != RecorderState::asking) return;
  enter(RecorderState::starting, hostTimeSeconds() + services_.startTimeout);
}

void Recorder::askForContent() {
  std::weak_ptr<Recorder> weak = weak_from_this();
  services_.screenCapture->getShareableContent(
      false, true, [weak](std::optional<ShareableContent> content, std::optional<PlatformError> error) {
        if (auto self = weak.lock()) {
          self->hop([raw = self.get(), content = std::move(content), error = std::move(error)]() mutable {
            raw->contentAnswer(std::move(content), std::move(error));
          });
        }
      });
}

void Recorder::installStopControls() {
  std::optional<QueueSource> input =
      queueOnQueue_->readSource(services_.stopInputFd, [this](const ReadEvent& event) {
        if (event.kind == ReadEvent::Kind::endOfFile) {
          stop();
        } else if (event.kind == ReadEvent::Kind::data &&
                   std::find(event.bytes.begin(), event.bytes.end(), 'q') != event.bytes.end()) {
          stop();
        }
      });
  // Without a descriptor to watch there is no input control; the signals and the timer remain.
  if (input) sources_.push_back(std::move(*input));
  for (int signalNumber : {SIGINT, SIGTERM}) {
    ignoreSignalUnlessBlocked(signalNumber);
    sources_.push_back(queueOnQueue_->signalSource(signalNumber, [this] { stop(); }));
  }
}

void Recorder::disarmStopControls() {
  for (QueueSource& source : sources_) source.cancel();
  sources_.clear();
}

void Recorder::contentAnswer(std::optional<ShareableContent> content, std::optional<PlatformError> error) {
  if (state_ == RecorderState::completed) return;
  // A stop cuts a question short; its answer is then only the cancellation.
  if (state_ == RecorderState::stopping) {
    complete(request_.kind == "audio" ? CaptureFailure::noAudio : CaptureFailure::noFrames);
    return;
  }
  // An answer without a grant: the start time-out runs again.
  if (state_ == RecorderState::asking) enter(RecorderState::starting, hostTimeSeconds() + services_.startTimeout);
  if (!content || error) {
    complete(error && error->refused ? CaptureFailure::permissionDenied : CaptureFailure::startFailed);
    return;
  }
  try {
    configure(*content);
    services_.screenCapture->keepGrant();
  } catch (CaptureFailure failure) {
    // A display remembered from an earlier grant that does not hold the region: the person is asked
    // once more (nothing was set up: no display is chosen before any writer or stream exists).
    if (failure == CaptureFailure::noDisplay && !askedAgain_ && !media_ && !stream_ &&
        services_.screenCapture->forgetGrant()) {
      askedAgain_ = true;
      askForContent();
      return;
    }
    complete(failure);
  } catch (...) {
    complete(CaptureFailure::startFailed);
  }
}

void Recorder::configure(const ShareableContent& content) {
  const bool video = request_.kind == "video";
  const uint32_t mainDisplay = video ? 0 : services_.screenCapture->mainDisplayID();
  const ShareableDisplay& display = chosenDisplay(content.displays, request_.region, mainDisplay);
  const ContentFilter filter(display, excludedApplications(content, request_.excludedPID, services_.ownProcessID));
  const StreamConfiguration configuration = streamConfiguration(request_, filter);

  media_ = std::make_unique<MediaWriter>(request_, video ? configuration.width : 0,
                                         video ? configuration.height : 0, services_.mediaPlatform);
  {
    std::lock_guard lock(claimMutex_);
    claim_ = media_->publicationClaim();
  }
  stream_ = services_.screenCapture->makeStream(filter, configuration, weak_from_this());
  if (!stream_) throw PlatformError{"the stream could not be made"};
  if (video) {
    if (auto error = stream_->addStreamOutput(weak_from_this(), StreamOutputType::screen, *queueOnQueue_)) {
      throw *error;
    }
  }
  if (request_.captureAudio) {
    if (auto error = stream_->addStreamOutput(weak_from_this(), StreamOutputType::audio, *queueOnQueue_)) {
      throw *error;
    }
  }
  std::weak_ptr<Recorder> weak = weak_from_this();
  stream_->startCapture([weak](std::optional<PlatformError> error) {
    if (auto self = weak.lock()) self->hop([raw = self.get(), error] { raw->startAnswer(error); });
  });
}

void Recorder::startAnswer(std::optional<PlatformError> error) {
  if (state_ == RecorderState::completed) {
    // The recording ended while the stream was starting (normally the start time-out, which also
    // dropped the stream and so stopped it).
    if (stream_) stream_->stopCapture({});
    return;
  }
  if (error) {
    complete(CaptureFailure::startFailed);
    return;
  }
  if (state_ == RecorderState::stopping) {
    finish();  // the stop asked for while starting goes on
    return;
  }
  if (request_.kind != "audio") durationFrom_ = hostTimeSeconds();
  enter(RecorderState::recording, recordingDeadline());
}

double Recorder::recordingDeadline() const {
  return durationFrom_ ? *durationFrom_ + request_.duration : startCountedFrom_ + services_.startTimeout;
}

void Recorder::stop() {
  switch (state_) {
    case RecorderState::starting:
    case RecorderState::asking: {
      disarmStopControls();
      // Before the stream has started there is nothing to stop: a question still open is cut short,
      // and its answer, the start answer or the start time-out ends the recording.
      const bool contentPending = !stream_;
      if (contentPending) services_.screenCapture->cancelShareableContent();
      // While the person is asked no start time-out runs: a cancel that is never answered must not
      // hold the stop until the dialog's own bound.
      const double deadline = state_ == RecorderState::asking
                                  ? std::min(deadline_, hostTimeSeconds() + services_.stopTimeout)
                                  : deadline_;
      enter(RecorderState::stopping, deadline);
      return;
    }
    case RecorderState::recording:
      disarmStopControls();
      finish();
      return;
    case RecorderState::created:
    case RecorderState::stopping:
    case RecorderState::finishing:
    case RecorderState::completed:
      return;  // a second stop changes nothing
  }
}

void Recorder::finish() {
  // A picture the stream holds back for its turn is the last change before the stop: written now.
  if (std::optional<SampleBuffer> held = stream_->takeHeldFrame()) {
    didOutputSampleBuffer(*held, StreamOutputType::screen);
    // Writing it failed, which stopped the recording.
    if (state_ == RecorderState::finishing || state_ == RecorderState::completed) return;
  }
  enter(RecorderState::finishing, hostTimeSeconds() + services_.stopTimeout);
  std::weak_ptr<Recorder> weak = weak_from_this();
  stream_->stopCapture([weak](std::optional<PlatformError> error) {
    if (auto self = weak.lock()) self->hop([raw = self.get(), error] { raw->stopAnswer(error); });
  });
}

void Recorder::stopAnswer(std::optional<PlatformError> error) {
  // The result is handed back through the queue: an audio recording finishes synchronously, inside
  // the media writer, which complete() is about to drop.
  auto deliver = [this](CaptureResult result) {
    hop([this, result = std::move(result)]() mutable { complete(std::move(result)); });
  };
  auto toQueue = [this](std::function<void()> work) { hop(std::move(work)); };
  runFinishingStep(state_ != RecorderState::completed, failure_, error.has_value(), media_.get(), deliver,
                   toQueue);
}

void Recorder::didStopWithError(const PlatformError& error) {
  if (auto self = weak_from_this().lock()) {
    hop([raw = self.get(), stoppedSharing = error.stoppedSharing] {
      if (raw->state_ == RecorderState::finishing || raw->state_ == RecorderState::completed) return;
      // The person's own "stop sharing" is a stop like `q`: what was recorded is published.
      if (!stoppedSharing) raw->failure_ = CaptureFailure::recordingFailed;
      raw->stop();
    });
  }
}

void Recorder::didOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType type) {
  if (state_ == RecorderState::created || state_ == RecorderState::completed) return;
  // While the stream stops it still hands on the sound captured before the stop was asked for
  // (the mix of several streams holds it back a moment); that belongs to the recording.
  const bool finishing = state_ == RecorderState::finishing;
  const bool beforeStop = finishing && type == StreamOutputType::audio && sample.presentationTime.isValid() &&
                          sample.presentationTime.seconds() < enteredAt_;
  if (finishing && !beforeStop) return;
  bool written = true;
  if (type == StreamOutputType::screen) {
    if (!media_) return;
    written = routeScreenSample(media_.get(), screenSample(sample, pictures_));
  } else if (type == StreamOutputType::audio) {
    if (!media_ || sample.mediaType != kMediaTypeAudio || !sample.audioFormat) return;
    written = routeAudioSample(media_.get(), systemAudioSample(sample, *sample.audioFormat));
    // A sound server may hand over a new stream's first samples late: an audio recording's length
    // counts from its first sample, so that it holds the sound asked for.
    if (written && !durationFrom_ && media_->firstHostTime()) {
      durationFrom_ = *media_->firstHostTime();
      if (state_ == RecorderState::recording) enter(RecorderState::recording, recordingDeadline());
    }
  }
  if (!written) {
    failure_ = CaptureFailure::recordingFailed;
    stop();
  }
}

void Recorder::complete(CaptureResult result) {
  if (state_ == RecorderState::created || state_ == RecorderState::completed) return;
  enter(RecorderState::completed, 0);
  std::function<void(CaptureResult)> callback = std::exchange(completion_, nullptr);
  disarmStopControls();
  // A failure (the stop time-out, say) settles that the file is not published, unless it already
  // was, away from the queue: then that is the result.
  if (std::holds_alternative<CaptureFailure>(result) && media_) {
    if (std::optional<Json> published = media_->giveUp()) result = std::move(*published);
  }
  // Letting go of a stream stuck on a frozen server, or of a writer stuck on a stalled disk, must
  // not hold back the result: both are released on a thread of their own, waited for only briefly.
  const bool failed = std::holds_alternative<CaptureFailure>(result);
  struct Released {
    std::unique_ptr<MediaWriter> media;
    std::unique_ptr<CaptureStream> stream;
  };
  auto released = std::make_shared<Released>(Released{std::move(media_), std::move(stream_)});
  runWithin(releaseWaitSeconds, [released, failed] {
    if (failed && released->media) released->media->discard();
    released->media.reset();
    released->stream.reset();
  });
  callback(std::move(result));
}

void Recorder::workFailed() {
  const bool started = state_ == RecorderState::recording || state_ == RecorderState::finishing;
  complete(started ? CaptureFailure::recordingFailed : CaptureFailure::startFailed);
}

}  // namespace rezoro::capture
