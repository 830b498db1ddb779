#include "capture/media/media_writer.h"

#include <algorithm>
#include <string>

#include "capture/capture_failure.h"
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

}  // namespace rezoro::capture
