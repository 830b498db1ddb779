#include "capture/media/media_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_failure.h"
#include "capture/media/finishing.h"
#include "capture/media/publication.h"
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
      platform(std::move(platform)) {
  request.validateDestination(true);
  if (request.kind != "video") return;

  std::unique_ptr<MediaFileWriter> created = this->platform.makeMpeg4Writer(temporary);
  VideoWriterInput* video = created->addVideoInput(videoOutputSettings(width, height));
  if (video == nullptr) throw CaptureFailure::exportFailed;
  AudioWriterInput* audio = nullptr;
  if (request.captureAudio) {
    audio = created->addAudioInput(aacOutputSettings());
    if (audio == nullptr) throw CaptureFailure::exportFailed;
  }
  if (!created->startWriting()) throw CaptureFailure::exportFailed;
  writer = std::move(created);
  videoInput = video;
  audioInput = audio;
}

void MediaWriter::appendVideo(const VideoSample& sample) {
  const MediaTime time = sample.presentationTime;
  if (request.kind != "video" || (!sample.image && !sample.planar) || !time.isValid()) return;
  if (!writer || videoInput == nullptr || writer->status() != WriterStatus::writing) {
    throw CaptureFailure::recordingFailed;
  }
  if (!firstTime) {
    writer->startSession(time);
    firstTime = time;
    firstHostTime = hostClock();
  }
  // Written as "not below" so that a time too far away to subtract is ignored as well.
  if (!((time - *firstTime).seconds() < request.duration)) return;
  // Before the session start a frame would be counted but left out of the movie.
  if (time < *firstTime) return;
  if (lastVideoTime.isValid() && time <= lastVideoTime) return;
  if (!videoInput->isReadyForMoreMediaData()) {
    ++droppedFrames;
    return;
  }
  if (!videoInput->append(sample)) throw CaptureFailure::recordingFailed;
  ++videoFrames;
  lastVideo = sample;
  lastVideoTime = time;
}

void MediaWriter::appendWaveSilence(int64_t until) {
  if (!waveFile || waveFrames >= until) return;
  std::vector<float> zeros;
  try {
    zeros.assign(static_cast<size_t>(silenceChunkFrames) * audioChannelCount, 0.0f);
  } catch (const std::bad_alloc&) {
    throw CaptureFailure::exportFailed;
  }
  while (waveFrames < until) {
    const int64_t frames = std::min(until - waveFrames, silenceChunkFrames);
    waveFile->write(zeros.data(), frames);
    waveFrames += frames;
  }
}

void MediaWriter::finish(CaptureCompletion completion, QueueHop toQueue) {
  if (request.kind == "audio") {
    finishAudio(completion);
  } else {
    finishVideo(std::move(completion), std::move(toQueue));
  }
}

void MediaWriter::finishAudio(const CaptureCompletion& completion) {
  if (audioFrames >= 1 && firstHostTime) {
    // Captured audio that ended early is followed by silence up to the wall-clock length.
    const double elapsed = std::min(std::max(hostClock() - *firstHostTime, 0.0), request.duration);
    try {
      appendWaveSilence(static_cast<int64_t>(elapsed * audioSampleRate));
    } catch (...) {
      completion(CaptureFailure::exportFailed);
      return;
    }
  }
  waveFile.reset();
  if (audioFrames < 1) {
    completion(CaptureFailure::noAudio);
    return;
  }
  completion(publish(static_cast<double>(waveFrames) / audioSampleRate));
}

void MediaWriter::finishVideo(CaptureCompletion completion, QueueHop toQueue) {
  if (videoFrames <= 0 || !writer || !firstTime) {
    if (writer) writer->cancelWriting();
    completion(CaptureFailure::noFrames);
    return;
  }
  const double hostElapsed = firstHostTime ? hostClock() - *firstHostTime : 0.0;
  const MediaTime end = videoEndTime(*firstTime, lastVideoTime, hostElapsed, request.duration);

  // The picture has to last until the end, so the last frame is shown once more just before it.
  const MediaTime repeatTime = end - frameDuration;
  if (repeatTime > lastVideoTime && lastVideo && videoInput != nullptr &&
      videoInput->isReadyForMoreMediaData()) {
    VideoSample repeat = *lastVideo;
    repeat.presentationTime = repeatTime;
    if (!videoInput->append(repeat)) {
      completion(CaptureFailure::recordingFailed);
      return;
    }
  }
  lastVideo.reset();
  writer->endSession(end);
  videoInput->markAsFinished();
  if (audioInput != nullptr) audioInput->markAsFinished();

  const double duration = (end - *firstTime).seconds();
  std::weak_ptr<const bool> alive = lifetime_;
  writer->finishWriting([this, alive, duration, completion = std::move(completion),
                         toQueue = std::move(toQueue)](WriterStatus status) {
    auto deliver = [this, alive, duration, completion, status] {
      if (alive.expired()) return;
      if (status == WriterStatus::completed) {
        completion(publish(duration));
      } else {
        completion(CaptureFailure::exportFailed);
      }
    };
    if (toQueue) {
      toQueue(std::move(deliver));
    } else {
      deliver();
    }
  });
}

CaptureResult MediaWriter::publish(double duration) {
  struct stat status {};
  if (::lstat(temporary.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 44) {
    return CaptureFailure::exportFailed;
  }
  if (!publishWithoutReplacing(temporary, request.destination)) return CaptureFailure::exportFailed;
  return successResult(*this, duration);
}

void MediaWriter::discard() {
  if (writer) writer->cancelWriting();
  waveFile.reset();
  temporaryRemoval_.remove();
}

}  // namespace rezoro::capture
