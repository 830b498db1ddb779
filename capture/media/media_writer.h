#pragma once
// The media writer of one recording. Beside it the plain functions of its setup (the encoder
// settings, the temporary name) and of its finish (the movie's end, the success dictionary), here
// rather than in units of their own because nothing else uses them and they are tested alone.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "capture/contract/capture_failure.h"
#include "capture/contract/capture_request.h"
#include "capture/media/publication.h"
#include "capture/runtime/serial_queue.h"
#include "capture/samples/media_file_writer.h"
#include "capture/samples/media_sample.h"
#include "capture/samples/media_time.h"
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
// Audio frames that may wait for a wave file written in the background (five seconds): a disk that
// falls further behind fails the recording.
inline constexpr int64_t waveBacklogFrames = 5 * 48000;

// Receives the one result of a recording: the success dictionary or a failure.
using CaptureCompletion = std::function<void(CaptureResult)>;
// Runs a piece of work on the recorder's queue. Must be callable from any thread.
using QueueHop = std::function<void(std::function<void()>)>;

// How long one video frame lasts: the end of the last frame, and the picture repeated at the end.
inline constexpr MediaTime frameDuration = MediaTime::make(1, 24);
// The shortest movie, in seconds.
inline constexpr double shortestVideoSeconds = 1.0 / 24.0;
// Timescale of media times made from seconds when a movie's end is computed.
inline constexpr int32_t endTimeTimescale = 60000;

// Where a movie ends, on the source clock: as long as the recording ran on the host clock
// (`hostElapsed` seconds since the first frame, taken as at least 1/24 s and at most `duration`),
// and at least one frame duration past the last written frame, but never beyond `duration` after
// the first frame.
MediaTime videoEndTime(const MediaTime& firstTime, const MediaTime& lastVideoTime, double hostElapsed,
                       double duration);

// The output side of one recording: the temporary file, the MPEG-4 writer of a video recording or
// the WAV file of an audio recording, the timing anchors and the counters. One instance per
// recording, created, used and destroyed on the recorder's queue only (the movie writer's finish
// report merely hops onto that queue, see finish).
//
// Its state changes only through the operations below, so that what holds between its fields
// holds here: the counters only grow, the anchors are set once (firstTime and firstHostTime by the
// first video frame, or audioStartTime and firstHostTime with the wave file), and lastVideo is the
// frame last appended, at lastVideoTime, until finish lets it go. The accessors read that state
// for the result and for tests.
class MediaWriter {
 public:
  // Prepares a recording of `request` at `width` × `height` pixels (0 × 0 for "audio"): forms the
  // temporary path, deletes the destination's empty placeholder and, for "video", creates the
  // MPEG-4 writer with its inputs and starts it. Throws the destination check's CaptureFailure,
  // the platform's error from creating the writer unchanged, or CaptureFailure::exportFailed when
  // an input cannot be added or writing cannot start. A failed construction leaves no file at
  // `temporary`. The host clock is the platform's.
  MediaWriter(const CaptureRequest& request, int64_t width, int64_t height, MediaPlatform platform);
  // Closes the writer and the wave file, then removes whatever is left at `temporary`. Waits for
  // the writer's thread and the disk thread, which may be publishing.
  ~MediaWriter();
  MediaWriter(const MediaWriter&) = delete;
  MediaWriter& operator=(const MediaWriter&) = delete;

  // Appends one complete screen frame of a video recording. Does nothing for an audio recording,
  // a frame without a picture or time, a frame at or beyond the requested duration after the first
  // frame, or one earlier than the first frame or not later than the last appended one. The first
  // frame starts the writer's session and the host clock anchor, even when the input is not ready
  // for it. A frame the input is not ready for counts as dropped. Throws
  // CaptureFailure::recordingFailed when the writer is missing or not writing, or refuses the
  // frame.
  void appendVideo(const VideoSample& sample);

  // Appends one buffer of system audio, whose interleaved data is meaningful only in `format`
  // float32, and counts its frames in audioFrames as far as they are written.
  // A video recording appends it to the movie's audio input unchanged, from the first video frame
  // on (earlier buffers are ignored); a buffer the input is not ready for counts as dropped.
  // Throws CaptureFailure::recordingFailed when the writer is missing or not writing, has no audio
  // input, or refuses the buffer, or the buffer is not float32.
  // An audio recording places it on the wave file's 48 kHz grid: the first buffer creates the wave
  // file and anchors audioStartTime (its frame 0) and firstHostTime; a buffer lands at its offset
  // from audioStartTime, after silence filling any gap, with the frames already written skipped,
  // and nothing is written at or beyond the requested duration; a buffer stamped before
  // audioStartTime is ignored. Throws CaptureFailure::recordingFailed for audio other than
  // 48000 Hz stereo float32 or without a valid time, and the errors of appendWaveSilence and of
  // the wave file.
  void appendAudio(const AudioSample& audio, AudioSampleFormat format);

  // Extends the wave file with zero frames until it holds `until` frames, in writes of at most
  // silenceChunkFrames. Nothing happens without a wave file or when it is long enough already.
  // Throws CaptureFailure::exportFailed when the silence cannot be allocated, or the wave file's
  // write error (std::runtime_error).
  void appendWaveSilence(int64_t until);

  // Closes the wave file, which completes its header. With backgroundFileWork only after the
  // writes queued before.
  void closeWave();

  // Ends the recording and calls `completion` exactly once with the success dictionary of
  // publish() or a failure (noFrames, noAudio, recordingFailed, exportFailed). Call it once, on
  // the recorder's queue, after the last sample has been routed. Every early failure, and an audio
  // recording without backgroundFileWork, completes before finish returns. Otherwise the file is
  // completed and published away from the queue (a stalled disk must not hold it up): a movie on
  // its writer's thread once the writer has finished, a wave file on the disk thread; the result
  // is then handed to `toQueue`, where `completion` runs — but not at all if this MediaWriter has
  // been destroyed by then (the recording has already completed otherwise). With an empty
  // `toQueue` it runs on that thread, and the caller must keep this object alive until then.
  void finish(CaptureCompletion completion, QueueHop toQueue);

  // Moves the finished temporary file to the destination by a hard link (or, where the file system
  // has none, a rename), which never replaces an existing file (publishWithoutReplacing), and
  // returns the success dictionary with `duration` as "duration_seconds".
  // Returns CaptureFailure::exportFailed when the temporary file is missing, not a regular file or
  // 44 bytes or less (a bare WAV header), or the link cannot be made, and when the recording has
  // been given up (giveUp) before or while the file was published; the file is then taken back.
  CaptureResult publish(double duration);

  // Settles that this recording ends without its file, unless it has been published already: then
  // returns the success dictionary that reports it. From any thread.
  std::optional<Json> giveUp() { return claim_->giveUp(); }
  std::shared_ptr<PublicationClaim> publicationClaim() const { return claim_; }

  // The failure path: cancels the movie writer, closes the wave file and removes the temporary
  // file, ignoring errors.
  void discard();

  // The writer's objects: the movie writer and its inputs of a video recording, the wave file of
  // an audio recording (with backgroundFileWork, read it only once the disk thread is done).
  const MediaFileWriter* writer() const { return writer_.get(); }
  const VideoWriterInput* videoInput() const { return videoInput_; }
  const AudioWriterInput* audioInput() const { return audioInput_; }
  const WaveFileWriter* waveFile() const { return waveFile_.get(); }
  // The timing anchors.
  const std::optional<MediaTime>& firstTime() const { return firstTime_; }
  const std::optional<VideoSample>& lastVideo() const { return lastVideo_; }
  MediaTime lastVideoTime() const { return lastVideoTime_; }
  std::optional<double> firstHostTime() const { return firstHostTime_; }
  const std::optional<MediaTime>& audioStartTime() const { return audioStartTime_; }
  // The counters: frames in the wave file (silence included), video frames appended (the final
  // repeat not included), captured audio frames accepted, buffers dropped by an input not ready.
  int64_t waveFrames() const { return waveFrames_; }
  int64_t videoFrames() const { return videoFrames_; }
  int64_t audioFrames() const { return audioFrames_; }
  int64_t droppedFrames() const { return droppedFrames_; }

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

 private:
  void appendMovieAudio(const AudioSample& audio, AudioSampleFormat format, int64_t frames);
  void appendWaveAudio(const AudioSample& audio, AudioSampleFormat format, int64_t frames);
  // Creates the wave file of an audio recording at `temporary`, and appends interleaved stereo
  // frames to it. With the platform's backgroundFileWork both only queue the work for the disk
  // thread, and writeWave throws std::runtime_error once a write there has failed or when
  // waveBacklogFrames are still waiting; otherwise they run at once and throw the platform's
  // errors.
  void openWave();
  void writeWave(const float* interleaved, int64_t frames);
  void finishAudio(CaptureCompletion completion, QueueHop toQueue);
  void finishVideo(CaptureCompletion completion, QueueHop toQueue);

  std::unique_ptr<MediaFileWriter> writer_;
  VideoWriterInput* videoInput_ = nullptr;  // owned by `writer_`
  AudioWriterInput* audioInput_ = nullptr;  // owned by `writer_`
  std::unique_ptr<WaveFileWriter> waveFile_;
  std::optional<MediaTime> firstTime_;
  std::optional<VideoSample> lastVideo_;
  MediaTime lastVideoTime_ = MediaTime::invalid();
  std::optional<double> firstHostTime_;
  std::optional<MediaTime> audioStartTime_;
  int64_t waveFrames_ = 0;
  int64_t videoFrames_ = 0;
  int64_t audioFrames_ = 0;
  int64_t droppedFrames_ = 0;

  const MediaPlatform platform_;

  // Watched by the movie writer's finish report: expired once this object is gone.
  std::shared_ptr<const bool> lifetime_ = std::make_shared<const bool>(true);
  const std::shared_ptr<PublicationClaim> claim_ = std::make_shared<PublicationClaim>();

  bool waveOpened_ = false;
  // Set on the disk thread, read on the queue.
  std::atomic<bool> waveFailed_{false};
  std::atomic<int64_t> waveBacklog_{0};
  // The wave file's work in order, with backgroundFileWork; declared last, so that its thread has
  // ended before anything it uses goes.
  std::unique_ptr<SerialQueue> disk_;
};

// The success dictionary of a published recording, exactly ten keys.
Json successResult(const MediaWriter& media, double duration);

}  // namespace rezoro::capture
