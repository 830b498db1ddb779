#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "capture/samples/media_sample.h"
#include "capture/samples/media_time.h"

namespace rezoro::capture {

// The output side of a recording as the media writer uses it: a movie-file writer with a video and
// an optional audio input, and the WAV file of an audio-only recording. Abstract so that tests can
// fake it; the real implementations are Mp4Writer and WaveFile (capture/platform/).

struct VideoOutputSettings {
  int64_t width = 0;
  int64_t height = 0;
  int64_t averageBitRate = 0;     // bits per second
  int32_t expectedFrameRate = 24;
  int32_t maxKeyFrameInterval = 48;  // frames
  bool allowFrameReordering = false;
};

struct AudioOutputSettings {
  int32_t sampleRate = audioSampleRate;
  int32_t channels = audioChannelCount;
  int64_t bitRate = 192000;
};

enum class WriterStatus { unknown, writing, completed, failed, cancelled };

// One input of a MediaFileWriter. Owned by its writer; valid as long as the writer exists.
template <typename Sample>
class MediaWriterInput {
 public:
  virtual ~MediaWriterInput() = default;
  // True while the input accepts another append without waiting: the writer is writing, the input
  // is not finished and its queue has room.
  virtual bool isReadyForMoreMediaData() const = 0;
  // Queues one sample. Returns false, having kept nothing, when the writer is not writing, no
  // session has started, the input is finished or not ready, or the sample does not fit the
  // input's settings. Samples before the session start are accepted and left out of the file.
  virtual bool append(const Sample& sample) = 0;
  // No more samples will be appended.
  virtual void markAsFinished() = 0;
};

using VideoWriterInput = MediaWriterInput<VideoSample>;
using AudioWriterInput = MediaWriterInput<AudioSample>;

class MediaFileWriter {
 public:
  virtual ~MediaFileWriter() = default;

  // Adds an input before writing starts. Returns nullptr when the writer cannot take it (settings
  // it cannot encode, a second input of the kind, or writing has started).
  virtual VideoWriterInput* addVideoInput(const VideoOutputSettings& settings) = 0;
  virtual AudioWriterInput* addAudioInput(const AudioOutputSettings& settings) = 0;

  // Creates the file and enters the writing status. Returns false, with status failed, on error.
  virtual bool startWriting() = 0;
  virtual WriterStatus status() const = 0;

  // The source-time window of the file: samples are placed relative to the start, and the file
  // ends exactly at the end (the last video frame lasts until then).
  virtual void startSession(const MediaTime& sourceTime) = 0;
  virtual void endSession(const MediaTime& sourceTime) = 0;

  // Encodes what is queued, completes the file and then calls `completion` once, on the writer's
  // own thread, with completed or failed. Not called if the writing is cancelled first.
  virtual void finishWriting(std::function<void(WriterStatus)> completion) = 0;
  // Stops writing at once and discards queued samples; the file is left where it is for its owner
  // to remove.
  virtual void cancelWriting() = 0;
};

// The 16-bit stereo 48 kHz WAV file of an audio-only recording, closed when released.
class WaveFileWriter {
 public:
  virtual ~WaveFileWriter() = default;
  // Appends `frames` interleaved stereo float frames, clipped to the 16-bit range. Throws
  // std::runtime_error when the file cannot take them.
  virtual void write(const float* interleaved, int64_t frames) = 0;
};

// How the media writer creates its platform objects, and the clock it reads. Each maker throws
// std::runtime_error (or a subclass) when the object cannot be created.
struct MediaPlatform {
  std::function<std::unique_ptr<MediaFileWriter>(const std::filesystem::path&)> makeMpeg4Writer;
  std::function<std::unique_ptr<WaveFileWriter>(const std::filesystem::path&)> makeWaveFile;
  // Whether the wave file is created, written and closed on a thread of its own rather than on
  // the caller's: a stalled disk then holds up neither the recording's queue nor its time-outs.
  bool backgroundFileWork = false;
  // Monotonic host uptime in seconds; replaceable so that tests can play a recording's length.
  std::function<double()> hostClock = hostTimeSeconds;
};

}  // namespace rezoro::capture
