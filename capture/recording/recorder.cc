#include "capture/recording/recorder.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
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
  if (sample.frameStatus) screen.attachments = std::vector<FrameAttachment>{FrameAttachment{sample.frameStatus}};
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

Recorder::Recorder(const CaptureRequest& request, RecorderServices services)
    : request(request),
      services_(std::move(services)),
      queue_(std::make_unique<SerialQueue>([this] { workFailed(); })),
      queueOnQueue_(queue_.get()) {
  if (services_.ownProcessID == 0) services_.ownProcessID = ::getpid();
}

Recorder::~Recorder() { endQueue(); }

CaptureResult Recorder::run() {
  const double began = hostTimeSeconds();
  auto delivered = std::make_shared<std::promise<CaptureResult>>();
  std::future<CaptureResult> result = delivered->get_future();
  hop([this, delivered] {
    begin([delivered](CaptureResult outcome) { delivered->set_value(std::move(outcome)); });
  });
  // The queue is looked at now and then: a start or a stop moves the time to give up.
  constexpr double lookSeconds = 0.05;
  while (result.wait_for(std::chrono::duration<double>(lookSeconds)) != std::future_status::ready) {
    if (hostTimeSeconds() < giveUpTime(began)) continue;
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

double Recorder::giveUpTime(double began) const {
  // Read before the start: the grant sets the start and only then clears this, so a cleared one
  // means the new start is seen.
  const double asking = askingSince_.load();
  const double from = std::max(began, startCountedFrom_.load());
  double time = from + services_.startTimeout + request.duration + services_.stopTimeout + queueGraceSeconds;
  const double started = startedAt_.load();
  const double stopped = stopAskedAt_.load();
  if (started == 0 && asking > 0) return asking + services_.permissionTimeout + watchMarginSeconds;
  if (started == 0) time = std::min(time, from + services_.startTimeout + watchMarginSeconds);
  // The duration counts from the start, or from an audio recording's first sample, which comes
  // within the start time-out.
  const double durationFrom = durationFrom_.load();
  if (started > 0) {
    time = std::min(time, (durationFrom > 0 ? durationFrom : std::max(started, from + services_.startTimeout)) +
                              request.duration + services_.stopTimeout + watchMarginSeconds);
  }
  if (started > 0 && stopped > 0) time = std::min(time, stopped + services_.stopTimeout + watchMarginSeconds);
  return time;
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
  // Armed first: the permission check may itself wait for a server that does not answer.
  armStartTimeout();
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

void Recorder::armStartTimeout() {
  startCountedFrom_ = hostTimeSeconds();
  const uint64_t turn = ++startTurn_;
  queueOnQueue_->after(services_.startTimeout, [this, turn] {
    if (turn != startTurn_) return;
    if (!started_ && !finishing_) {
      complete(CaptureFailure::timeout);
    } else if (!durationArmed_) {
      stop();  // an audio recording that never got its first sample: no audio
    }
  });
}

void Recorder::permissionAsked() {
  if (!completion_ || started_) return;
  asking_ = true;
  askingSince_ = hostTimeSeconds();
  const uint64_t turn = ++startTurn_;  // the start time-out waits for the answer
  queueOnQueue_->after(services_.permissionTimeout, [this, turn] {
    if (turn != startTurn_ || !asking_) return;
    services_.screenCapture->cancelShareableContent();
    complete(CaptureFailure::timeout);
  });
}

void Recorder::permissionGranted() {
  if (!completion_ || !asking_) return;
  asking_ = false;
  armStartTimeout();
  askingSince_ = 0;
}

void Recorder::askForContent() {
  contentPending_ = true;
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

void Recorder::contentAnswer(std::optional<ShareableContent> content, std::optional<PlatformError> error) {
  if (!completion_) return;
  contentPending_ = false;
  if (asking_) permissionGranted();  // an answer without a grant: the start time-out runs again
  // A stop cuts a question short; its answer is then only the cancellation.
  if (stopRequested_) {
    complete(request.kind == "audio" ? CaptureFailure::noAudio : CaptureFailure::noFrames);
    return;
  }
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
  const bool video = request.kind == "video";
  const uint32_t mainDisplay = video ? 0 : services_.screenCapture->mainDisplayID();
  const ShareableDisplay& display = chosenDisplay(content.displays, request.region, mainDisplay);
  const ContentFilter filter(display, excludedApplications(content, request.excludedPID, services_.ownProcessID));
  const StreamConfiguration configuration = streamConfiguration(request, filter);

  media_ = std::make_unique<MediaWriter>(request, video ? configuration.width : 0,
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
  if (request.captureAudio) {
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
  if (!completion_) {
    // The recording ended while the stream was starting (normally the start time-out, which also
    // dropped the stream and so stopped it).
    if (stream_) stream_->stopCapture({});
    return;
  }
  if (error) {
    complete(CaptureFailure::startFailed);
    return;
  }
  started_ = true;
  startedAt_ = hostTimeSeconds();
  if (stopRequested_) {
    stop();
  } else if (request.kind != "audio") {
    armDuration(hostTimeSeconds());
  }
}

void Recorder::armDuration(double from) {
  durationArmed_ = true;
  durationFrom_ = from;
  queueOnQueue_->after(std::max(0.0, from + request.duration - hostTimeSeconds()), [this] { stop(); });
}

void Recorder::stop() {
  if (!completion_ || finishing_) return;
  stopRequested_ = true;
  for (QueueSource& source : sources_) source.cancel();
  sources_.clear();
  if (contentPending_) {
    services_.screenCapture->cancelShareableContent();
    // While the person is asked no start time-out runs: a cancel that is never answered must not
    // hold the stop until the dialog's own bound.
    if (asking_) queueOnQueue_->after(services_.stopTimeout, [this] { complete(CaptureFailure::timeout); });
  }
  if (!started_ || !stream_) return;
  // A picture the stream holds back for its turn is the last change before the stop: written now.
  if (std::optional<SampleBuffer> held = stream_->takeHeldFrame()) {
    didOutputSampleBuffer(*held, StreamOutputType::screen);
    if (!completion_ || finishing_) return;  // writing it failed, which stopped the recording
  }

  finishing_ = true;
  stopAskedAt_ = hostTimeSeconds();
  std::weak_ptr<Recorder> weak = weak_from_this();
  stream_->stopCapture([weak](std::optional<PlatformError> error) {
    if (auto self = weak.lock()) self->hop([raw = self.get(), error] { raw->stopAnswer(error); });
  });
  queueOnQueue_->after(services_.stopTimeout, [this] { complete(CaptureFailure::timeout); });
}

void Recorder::stopAnswer(std::optional<PlatformError> error) {
  // The result is handed back through the queue: an audio recording finishes synchronously, inside
  // the media writer, which complete() is about to drop.
  auto deliver = [this](CaptureResult result) {
    hop([this, result = std::move(result)]() mutable { complete(std::move(result)); });
  };
  auto toQueue = [this](std::function<void()> work) { hop(std::move(work)); };
  runFinishingStep(static_cast<bool>(completion_), failure_, error.has_value(), media_.get(), deliver,
                   toQueue);
}

void Recorder::didStopWithError(const PlatformError& error) {
  if (auto self = weak_from_this().lock()) {
    hop([raw = self.get(), stoppedSharing = error.stoppedSharing] {
      if (raw->finishing_) return;
      // The person's own "stop sharing" is a stop like `q`: what was recorded is published.
      if (!stoppedSharing) raw->failure_ = CaptureFailure::recordingFailed;
      raw->stop();
    });
  }
}

void Recorder::didOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType type) {
  if (!completion_) return;
  // While the stream stops it still hands on the sound captured before the stop was asked for
  // (the mix of several streams holds it back a moment); that belongs to the recording.
  const bool beforeStop = type == StreamOutputType::audio && sample.presentationTime.isValid() &&
                          sample.presentationTime.seconds() < stopAskedAt_.load();
  if (finishing_ && !beforeStop) return;
  bool written = true;
  if (type == StreamOutputType::screen) {
    if (!media_) return;
    written = routeScreenSample(media_.get(), screenSample(sample, pictures_));
  } else if (type == StreamOutputType::audio) {
    if (!media_ || sample.mediaType != kMediaTypeAudio || !sample.audioFormat) return;
    written = routeAudioSample(media_.get(), systemAudioSample(sample, *sample.audioFormat));
    // A sound server may hand over a new stream's first samples late: an audio recording's length
    // counts from its first sample, so that it holds the sound asked for.
    if (written && !durationArmed_ && media_->firstHostTime()) armDuration(*media_->firstHostTime());
  }
  if (!written) {
    failure_ = CaptureFailure::recordingFailed;
    stop();
  }
}

void Recorder::complete(CaptureResult result) {
  if (!completion_) return;
  std::function<void(CaptureResult)> callback = std::exchange(completion_, nullptr);
  for (QueueSource& source : sources_) source.cancel();
  sources_.clear();
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
  complete(started_ ? CaptureFailure::recordingFailed : CaptureFailure::startFailed);
}

}  // namespace rezoro::capture
