#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "capture/capture_request.h"
#include "capture/media/media_file_writer.h"
#include "capture/media/media_sample.h"
#include "capture/media/media_time.h"
#include "common/atomic_file.h"

namespace rezoro::capture {

// The H.264 average bit rate for a picture size: five bits per pixel per second, kept within
// 1 Mbit/s and 20 Mbit/s.
int64_t videoAverageBitRate(int64_t width, int64_t height);
VideoOutputSettings videoOutputSettings(int64_t width, int64_t height);
AudioOutputSettings aacOutputSettings();

// The hidden file a recording is written to before it is published: in the destination's
// directory, ".rezoro-recording-<uuid>.<the destination's extension as written>".
std::filesystem::path temporaryRecordingPath(const std::filesystem::path& destination,
                                             std::string_view uuid);

// The output side of one recording: the temporary file, the MPEG-4 writer of a video recording or
// the WAV file of an audio recording, the timing anchors and the counters. One instance per
// recording, used from the recorder's queue only; the file writer's finish completion may read
// the counters from the writer's thread once no sample can arrive any more.
class MediaWriter {
 public:
  // Prepares a recording of `request` at `width` × `height` pixels (0 × 0 for "audio"): forms the
  // temporary path, deletes the destination's empty placeholder and, for "video", creates the
  // MPEG-4 writer with its inputs and starts it. Throws the destination check's CaptureFailure,
  // the platform's error from creating the writer unchanged, or CaptureFailure::exportFailed when
  // an input cannot be added or writing cannot start. A failed construction leaves no file at
  // `temporary`.
  MediaWriter(const CaptureRequest& request, int64_t width, int64_t height, MediaPlatform platform);
  // Closes the writer and the wave file, then removes whatever is left at `temporary`.
  ~MediaWriter() = default;
  MediaWriter(const MediaWriter&) = delete;
  MediaWriter& operator=(const MediaWriter&) = delete;

  const CaptureRequest request;
  const std::filesystem::path temporary;

 private:
  // Declared before the writer and the wave file so that they are closed before the removal runs.
  ScopedFileRemoval temporaryRemoval_;

 public:
  const int64_t width;
  const int64_t height;
  std::unique_ptr<MediaFileWriter> writer;
  VideoWriterInput* videoInput = nullptr;  // owned by `writer`
  AudioWriterInput* audioInput = nullptr;  // owned by `writer`
  std::unique_ptr<WaveFileWriter> waveFile;
  std::optional<MediaTime> firstTime;
  std::optional<VideoSample> lastVideo;
  MediaTime lastVideoTime = MediaTime::invalid();
  std::optional<double> firstHostTime;
  std::optional<MediaTime> audioStartTime;
  int64_t waveFrames = 0;
  int64_t videoFrames = 0;
  int64_t audioFrames = 0;
  int64_t droppedFrames = 0;

  // Creates the wave file when the first audio buffer of an audio recording arrives.
  const MediaPlatform platform;
};

}  // namespace rezoro::capture
