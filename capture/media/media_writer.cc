#include "capture/media/media_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "capture/contract/capture_failure.h"
#include "capture/media/publication.h"
#include "capture/samples/audio_grid.h"
#include "common/uuid.h"

namespace rezoro::capture {

int64_t videoAverageBitRate(int64_t width, int64_t height) {
  return std::clamp<int64_t>(width * height * 5, 1000000, 20000000);
}

VideoOutputSettings videoOutputSettings(int64_t width, int64_t height) {
  VideoOutputSettings settings;
  settings.width = width;
  settings.height = height;
  settings.averageBitRate = videoAverageBitRate(width, height);
  settings.expectedFrameRate = 24;
  settings.maxKeyFrameInterval = 48;
  settings.allowFrameReordering = false;
  return settings;
}

AudioOutputSettings aacOutputSettings() {
  return AudioOutputSettings{audioSampleRate, audioChannelCount, 192000};
}

std::filesystem::path temporaryRecordingPath(const std::filesystem::path& destination,
                                             std::string_view uuid) {
  std::string name = ".rezoro-recording-";
  name += uuid;
  name += destination.extension().string();
  return destination.parent_path() / name;
}

MediaTime videoEndTime(const MediaTime& firstTime, const MediaTime& lastVideoTime, double hostElapsed,
                       double duration) {
  const double hostSeconds = std::min(std::max(hostElapsed, shortestVideoSeconds), duration);
  const MediaTime hostEnd = firstTime + MediaTime::fromSeconds(hostSeconds, endTimeTimescale);
  const MediaTime lastFrameEnd = lastVideoTime + frameDuration;
  const MediaTime requestedEnd = firstTime + MediaTime::fromSeconds(duration, endTimeTimescale);
  const MediaTime later = lastFrameEnd > hostEnd ? lastFrameEnd : hostEnd;
  return minimum(later, requestedEnd);
}

Json successResult(const MediaWriter& media, double duration) {
  return Json{
      {"ok", true},
      {"backend", captureBackend},
      {"revision", captureRevision},
      {"kind", media.request.kind},
      {"video_frames", media.videoFrames()},
      {"audio_frames", media.audioFrames()},
      {"dropped_frames", media.droppedFrames()},
      {"duration_seconds", duration},
      {"width", media.width},
      {"height", media.height},
  };
}

namespace {

// Hands a result made away from the queue to `toQueue`, where it reaches `completion` only while the
// media writer watched by `alive` still exists; with no `toQueue`, to `completion` at once.
void handOver(CaptureResult result, const std::weak_ptr<const bool>& alive, const CaptureCompletion& completion,
              const QueueHop& toQueue) {
  if (!toQueue) return completion(std::move(result));
  toQueue([alive, completion, result = std::move(result)] {
    if (!alive.expired()) completion(result);
  });
}

}  // namespace

MediaWriter::TemporaryRemoval::TemporaryRemoval(const std::filesystem::path& temporary)
    : directory_(::open(temporary.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)),
      temporary_(temporary) {}

void MediaWriter::TemporaryRemoval::remove() const {
  if (directory_) {
    ::unlinkat(directory_.get(), temporary_.filename().c_str(), 0);
  } else {
    ::unlink(temporary_.c_str());
  }
}

MediaWriter::MediaWriter(const CaptureRequest& request, int64_t width, int64_t height,
                         MediaPlatform platform)
    : request(request),
      temporary(temporaryRecordingPath(request.destination, newUuidString())),
      temporaryRemoval_(temporary),
      width(width),
      height(height),
      platform_(std::move(platform)) {
  request.validateDestination(true);
  if (request.kind != "video") {
    if (platform_.backgroundFileWork) disk_ = std::make_unique<SerialQueue>();
    return;
  }

  std::unique_ptr<MediaFileWriter> created = platform_.makeMpeg4Writer(temporary);
  VideoWriterInput* video = created->addVideoInput(videoOutputSettings(width, height));
  if (video == nullptr) throw CaptureFailure::exportFailed;
  AudioWriterInput* audio = nullptr;
  if (request.captureAudio) {
    audio = created->addAudioInput(aacOutputSettings());
    if (audio == nullptr) throw CaptureFailure::exportFailed;
  }
  if (!created->startWriting()) throw CaptureFailure::exportFailed;
  writer_ = std::move(created);
  videoInput_ = video;
  audioInput_ = audio;
}

MediaWriter::~MediaWriter() {
  // Their work uses this object's members (the claim, the wave file): both end before any goes.
  disk_.reset();
  writer_.reset();
}

void MediaWriter::appendVideo(const VideoSample& sample) {
  const MediaTime time = sample.presentationTime;
  if (request.kind != "video" || (!sample.image && !sample.planar) || !time.isValid()) return;
  if (!writer_ || videoInput_ == nullptr || writer_->status() != WriterStatus::writing) {
    throw CaptureFailure::recordingFailed;
  }
  if (!firstTime_) {
    writer_->startSession(time);
    firstTime_ = time;
    firstHostTime_ = platform_.hostClock();
  }
  // Written as "not below" so that a time too far away to subtract is ignored as well.
  if (!((time - *firstTime_).seconds() < request.duration)) return;
  // Before the session start a frame would be counted but left out of the movie.
  if (time < *firstTime_) return;
  if (lastVideoTime_.isValid() && time <= lastVideoTime_) return;
  if (!videoInput_->isReadyForMoreMediaData()) {
    ++droppedFrames_;
    return;
  }
  if (!videoInput_->append(sample)) throw CaptureFailure::recordingFailed;
  ++videoFrames_;
  lastVideo_ = sample;
  lastVideoTime_ = time;
}

void MediaWriter::appendAudio(const AudioSample& audio, AudioSampleFormat format) {
  const int64_t frames = audio.frameCount();
  if (request.kind == "video") {
    appendMovieAudio(audio, format, frames);
  } else {
    appendWaveAudio(audio, format, frames);
  }
}

// Audio of a video recording: from the first video frame on, at the buffer's own time.
void MediaWriter::appendMovieAudio(const AudioSample& audio, AudioSampleFormat format, int64_t frames) {
  if (!firstTime_ || audio.presentationTime < *firstTime_) return;
  if (!writer_ || audioInput_ == nullptr || writer_->status() != WriterStatus::writing) {
    throw CaptureFailure::recordingFailed;
  }
  if (!audioInput_->isReadyForMoreMediaData()) {
    ++droppedFrames_;
    return;
  }
  if (format != AudioSampleFormat::float32 || !audioInput_->append(audio)) {
    throw CaptureFailure::recordingFailed;
  }
  audioFrames_ += frames;
}

// Audio of an audio recording: frame k of the wave file holds the audio stamped
// audioStartTime + k / 48000 s.
void MediaWriter::appendWaveAudio(const AudioSample& audio, AudioSampleFormat format, int64_t frames) {
  if (audio.sampleRate != audioSampleRate || audio.channels != audioChannelCount ||
      format != AudioSampleFormat::float32 || !audio.presentationTime.isValid()) {
    throw CaptureFailure::recordingFailed;
  }
  if (!waveOpened_) {
    openWave();
    firstHostTime_ = platform_.hostClock();
    audioStartTime_ = audio.presentationTime;
  }
  const MediaTime origin = audioStartTime_.value_or(audio.presentationTime);
  const auto limit = static_cast<int64_t>(request.duration * audioSampleRate);
  const auto place = placeOnAudioGrid(audio.presentationTime, origin, waveFrames_, frames, limit);
  if (!place) return;
  appendWaveSilence(waveFrames_ + place->silence);
  const int64_t count = place->count;
  if (count < 1) return;
  writeWave(audio.samples->data() + place->skip * audioChannelCount, count);
  waveFrames_ += count;
  audioFrames_ += count;
}

void MediaWriter::appendWaveSilence(int64_t until) {
  if (!waveOpened_ || waveFrames_ >= until) return;
  std::vector<float> zeros;
  try {
    zeros.assign(static_cast<size_t>(silenceChunkFrames) * audioChannelCount, 0.0f);
  } catch (const std::bad_alloc&) {
    throw CaptureFailure::exportFailed;
  }
  while (waveFrames_ < until) {
    const int64_t frames = std::min(until - waveFrames_, silenceChunkFrames);
    writeWave(zeros.data(), frames);
    waveFrames_ += frames;
  }
}

void MediaWriter::openWave() {
  if (!disk_) {
    waveFile_ = platform_.makeWaveFile(temporary);
    waveOpened_ = true;
    return;
  }
  waveOpened_ = true;
  disk_->async([this] {
    try {
      waveFile_ = platform_.makeWaveFile(temporary);
    } catch (...) {
      waveFailed_ = true;
    }
  });
}

void MediaWriter::writeWave(const float* interleaved, int64_t frames) {
  if (!disk_) {
    waveFile_->write(interleaved, frames);
    return;
  }
  if (waveFailed_) throw std::runtime_error("the wave file cannot be written");
  if (waveBacklog_ + frames > waveBacklogFrames) throw std::runtime_error("the disk does not keep up");
  auto samples = std::make_shared<const std::vector<float>>(interleaved, interleaved + frames * audioChannelCount);
  waveBacklog_ += frames;
  disk_->async([this, samples, frames] {
    try {
      if (!waveFailed_ && waveFile_) waveFile_->write(samples->data(), frames);
    } catch (...) {
      waveFailed_ = true;
    }
    waveBacklog_ -= frames;
  });
}

void MediaWriter::closeWave() {
  if (!disk_) {
    waveFile_.reset();
    return;
  }
  disk_->async([this] { waveFile_.reset(); });
}

void MediaWriter::finish(CaptureCompletion completion, QueueHop toQueue) {
  if (request.kind == "audio") {
    finishAudio(std::move(completion), std::move(toQueue));
  } else {
    finishVideo(std::move(completion), std::move(toQueue));
  }
}

void MediaWriter::finishAudio(CaptureCompletion completion, QueueHop toQueue) {
  if (audioFrames_ >= 1 && firstHostTime_) {
    // Captured audio that ended early is followed by silence up to the wall-clock length.
    const double elapsed = std::min(std::max(platform_.hostClock() - *firstHostTime_, 0.0), request.duration);
    try {
      appendWaveSilence(static_cast<int64_t>(elapsed * audioSampleRate));
    } catch (...) {
      completion(CaptureFailure::exportFailed);
      return;
    }
  }
  if (audioFrames_ < 1) {
    completion(CaptureFailure::noAudio);
    return;
  }
  const double duration = static_cast<double>(waveFrames_) / audioSampleRate;
  if (!disk_) {
    closeWave();
    completion(publish(duration));
    return;
  }
  // After the writes queued before it.
  std::weak_ptr<const bool> alive = lifetime_;
  disk_->async([this, alive, duration, completion = std::move(completion), toQueue = std::move(toQueue)] {
    waveFile_.reset();  // completes the header
    handOver(waveFailed_ ? CaptureResult(CaptureFailure::exportFailed) : publish(duration), alive, completion, toQueue);
  });
}

void MediaWriter::finishVideo(CaptureCompletion completion, QueueHop toQueue) {
  if (videoFrames_ <= 0 || !writer_ || !firstTime_) {
    if (writer_) writer_->cancelWriting();
    completion(CaptureFailure::noFrames);
    return;
  }
  const double hostElapsed = firstHostTime_ ? platform_.hostClock() - *firstHostTime_ : 0.0;
  const MediaTime end = videoEndTime(*firstTime_, lastVideoTime_, hostElapsed, request.duration);

  // The picture has to last until the end, so the last frame is shown once more just before it.
  const MediaTime repeatTime = end - frameDuration;
  if (repeatTime > lastVideoTime_ && lastVideo_ && videoInput_ != nullptr &&
      videoInput_->isReadyForMoreMediaData()) {
    VideoSample repeat = *lastVideo_;
    repeat.presentationTime = repeatTime;
    if (!videoInput_->append(repeat)) {
      completion(CaptureFailure::recordingFailed);
      return;
    }
  }
  lastVideo_.reset();
  writer_->endSession(end);
  videoInput_->markAsFinished();
  if (audioInput_ != nullptr) audioInput_->markAsFinished();

  const double duration = (end - *firstTime_).seconds();
  std::weak_ptr<const bool> alive = lifetime_;
  writer_->finishWriting([this, alive, duration, completion = std::move(completion),
                         toQueue = std::move(toQueue)](WriterStatus status) {
    // Published here rather than on the queue, which a stalled disk must not hold up.
    if (alive.expired()) return;
    handOver(status == WriterStatus::completed ? publish(duration) : CaptureResult(CaptureFailure::exportFailed),
             alive, completion, toQueue);
  });
}

CaptureResult MediaWriter::publish(double duration) {
  struct stat status {};
  if (::lstat(temporary.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 44) {
    return CaptureFailure::exportFailed;
  }
  const Json success = successResult(*this, duration);
  if (!claim_->claim()) return CaptureFailure::exportFailed;
  if (!publishWithoutReplacing(temporary, request.destination)) {
    claim_->unclaim();
    return CaptureFailure::exportFailed;
  }
  if (!claim_->confirm(success)) {
    // Given up while the link was being made: the name goes again, if it is still this file.
    struct stat published {};
    if (::lstat(request.destination.c_str(), &published) == 0 && published.st_dev == status.st_dev &&
        published.st_ino == status.st_ino) {
      ::unlink(request.destination.c_str());
    }
    return CaptureFailure::exportFailed;
  }
  return success;
}

void MediaWriter::discard() {
  if (writer_) writer_->cancelWriting();
  disk_.reset();  // waits for the wave file's work under way
  waveFile_.reset();
  temporaryRemoval_.remove();
}

}  // namespace rezoro::capture
