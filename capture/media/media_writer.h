#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "capture/capture_failure.h"
#include "capture/capture_request.h"
#include "capture/media/media_file_writer.h"
#include "capture/media/media_sample.h"
#include "capture/media/media_time.h"
#include "common/unique_fd.h"

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

// Frames of zero samples written per call when the wave file is filled with silence.
inline constexpr int64_t silenceChunkFrames = 4096;

// Receives the one result of a recording: the success dictionary or a failure.
using CaptureCompletion = std::function<void(CaptureResult)>;
// Runs a piece of work on the recorder's queue. Must be callable from any thread.
using QueueHop = std::function<void(std::function<void()>)>;

// The output side of one recording: the temporary file, the MPEG-4 writer of a video recording or
// the WAV file of an audio recording, the timing anchors and the counters. One instance per
// recording, created, used and destroyed on the recorder's queue only (the movie writer's finish
// report merely hops onto that queue, see finish).
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

  // Appends one complete screen frame of a video recording. Does nothing for an audio recording,
  // a frame without a picture or time, a frame at or beyond the requested duration after the first
  // frame, or one earlier than the first frame or not later than the last appended one. The first
  // frame starts the writer's session and the host clock anchor, even when the input is not ready
  // for it. A frame the input is not ready for counts as dropped. Throws CaptureFailure::recordingFailed when the writer is
  // missing or not writing, or refuses the frame.
  void appendVideo(const VideoSample& sample);

  // Extends the wave file with zero frames until it holds `until` frames, in writes of at most
  // silenceChunkFrames. Nothing happens without a wave file or when it is long enough already.
  // Throws CaptureFailure::exportFailed when the silence cannot be allocated, or the wave file's
  // std::runtime_error when a write fails.
  void appendWaveSilence(int64_t until);

  // Ends the recording and calls `completion` exactly once with the success dictionary of
  // publish() or a failure (noFrames, noAudio, recordingFailed, exportFailed). Call it once, on
  // the recorder's queue, after the last sample has been routed. An audio recording and every
  // early failure complete before finish returns. A movie completes when its writer has finished:
  // the writer reports on its own thread, the report is handed to `toQueue`, and publication and
  // `completion` then run on the queue — but not at all if this MediaWriter has been destroyed by
  // then (the recording has already completed otherwise). With an empty `toQueue` they run on the
  // writer's thread, and the caller must keep this object alive until `completion` has run.
  void finish(CaptureCompletion completion, QueueHop toQueue);

  // Moves the finished temporary file to the destination by a hard link (or, where the file system
  // has none, a rename), which never replaces an existing file (publishWithoutReplacing), and returns the success dictionary with `duration` as "duration_seconds".
  // Returns CaptureFailure::exportFailed when the temporary file is missing, not a regular file or
  // 44 bytes or less (a bare WAV header), or the link cannot be made.
  CaptureResult publish(double duration);

  // The failure path: cancels the movie writer, closes the wave file and removes the temporary
  // file, ignoring errors.
  void discard();

  const CaptureRequest request;
  const std::filesystem::path temporary;

 private:
  // Removes the temporary file through the directory it was made in, which still works when that
  // directory's path has changed meanwhile (renamed, or a read-only file system mounted over it).
  class TemporaryRemoval {
   public:
    explicit TemporaryRemoval(const std::filesystem::path& temporary);
    ~TemporaryRemoval() { remove(); }
    TemporaryRemoval(const TemporaryRemoval&) = delete;
    TemporaryRemoval& operator=(const TemporaryRemoval&) = delete;
    void remove() const;  // ignores failures

   private:
    UniqueFd directory_;
    std::filesystem::path temporary_;
  };
  // Declared before the writer and the wave file so that they are closed before the removal runs.
  TemporaryRemoval temporaryRemoval_;

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
  // Monotonic host uptime in seconds; replaceable so that tests can play a recording's length.
  std::function<double()> hostClock = hostTimeSeconds;

 private:
  void finishAudio(const CaptureCompletion& completion);
  void finishVideo(CaptureCompletion completion, QueueHop toQueue);

  // Watched by the movie writer's finish report: expired once this object is gone.
  std::shared_ptr<const bool> lifetime_ = std::make_shared<const bool>(true);
};

}  // namespace rezoro::capture
