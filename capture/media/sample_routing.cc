#include "capture/media/sample_routing.h"

#include <algorithm>
#include <cmath>

#include "capture/capture_failure.h"

namespace rezoro::capture {
namespace {

// Audio of a video recording: from the first video frame on, at the buffer's own time.
void appendMovieAudio(MediaWriter& media, const SystemAudioSample& sample, int64_t frames) {
  if (!media.firstTime || sample.audio.presentationTime < *media.firstTime) return;
  if (!media.writer || media.audioInput == nullptr || media.writer->status() != WriterStatus::writing) {
    throw CaptureFailure::recordingFailed;
  }
  if (!media.audioInput->isReadyForMoreMediaData()) {
    ++media.droppedFrames;
    return;
  }
  if (sample.format != AudioSampleFormat::float32 || !media.audioInput->append(sample.audio)) {
    throw CaptureFailure::recordingFailed;
  }
  media.audioFrames += frames;
}

// Audio of an audio recording: frame k of the wave file holds the audio stamped
// audioStartTime + k / 48000 s.
void appendWaveAudio(MediaWriter& media, const SystemAudioSample& sample, int64_t frames) {
  const AudioSample& audio = sample.audio;
  if (audio.sampleRate != audioSampleRate || audio.channels != audioChannelCount ||
      sample.format != AudioSampleFormat::float32 || !audio.presentationTime.isValid()) {
    throw CaptureFailure::recordingFailed;
  }
  if (!media.waveOpened()) {
    media.openWave();
    media.firstHostTime = media.hostClock();
    media.audioStartTime = audio.presentationTime;
  }
  const MediaTime origin = media.audioStartTime.value_or(audio.presentationTime);
  const double offset = (audio.presentationTime - origin).seconds() * audioSampleRate;
  if (!std::isfinite(offset) || offset < 0) return;

  const auto limit = static_cast<int64_t>(media.request.duration * audioSampleRate);
  const double rounded = std::round(offset);
  const int64_t target = rounded >= static_cast<double>(limit) ? limit : static_cast<int64_t>(rounded);
  media.appendWaveSilence(target);

  const int64_t written = media.waveFrames;
  const int64_t skip = std::clamp<int64_t>(written - target, 0, frames);
  const int64_t count = std::min(limit - written, frames - skip);
  if (count < 1) return;
  media.writeWave(audio.samples->data() + skip * audioChannelCount, count);
  media.waveFrames += count;
  media.audioFrames += count;
}

}  // namespace

bool isCompleteFrame(const ScreenSample& sample) {
  return sample.attachments && !sample.attachments->empty() &&
         sample.attachments->front().status == completeFrameStatus;
}

bool routeScreenSample(MediaWriter* media, const ScreenSample& sample) {
  if (!isCompleteFrame(sample) || media == nullptr) return true;
  try {
    media->appendVideo(sample.frame);
  } catch (...) {
    return false;
  }
  return true;
}

bool routeAudioSample(MediaWriter* media, const SystemAudioSample& sample) {
  if (media == nullptr || !media->request.captureAudio || !sample.audio.samples) return true;
  const int64_t frames = sample.audio.frameCount();
  if (frames < 1 || frames > largestAudioBufferFrames) return true;
  try {
    if (media->request.kind == "video") {
      appendMovieAudio(*media, sample, frames);
    } else {
      appendWaveAudio(*media, sample, frames);
    }
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace rezoro::capture
