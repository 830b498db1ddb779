#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "capture/samples/media_file_writer.h"

namespace rezoro::capture {

// The x264 preset that keeps 24 frames per second of a `width` × `height` picture within about one
// core of this class of machine (two cores shared with the capture thread).
std::string_view x264PresetFor(int64_t width, int64_t height);

// MPEG-4 writer on FFmpeg: H.264 through libx264 (yuv420p, the settings' bit rate, key frames at
// most every 48 frames, no B-frames) and AAC through FFmpeg's native encoder (48 kHz stereo). One
// worker thread encodes and muxes behind a bounded queue; an input is ready while its share of the
// queue has room. Video is stamped on a 1/90000 clock relative to the session start, each frame
// lasting until the next and the last one until the session end. Audio buffers are laid on a
// 48 kHz sample grid anchored to the session start: a gap before a buffer becomes silence, samples
// for a range already filled are dropped, and the track ends exactly at the session end.
class Mp4Writer final : public MediaFileWriter {
 public:
  // Prepares a writer for a new MPEG-4 file at `path`; nothing is created until startWriting.
  // `preset` names the x264 preset (empty: x264PresetFor the video size; benchmarks compare).
  // Throws std::runtime_error when something already exists at `path` or the muxer is missing.
  static std::unique_ptr<Mp4Writer> create(const std::filesystem::path& path,
                                           std::string_view preset = {});
  ~Mp4Writer() override;

  VideoWriterInput* addVideoInput(const VideoOutputSettings& settings) override;
  AudioWriterInput* addAudioInput(const AudioOutputSettings& settings) override;
  bool startWriting() override;
  WriterStatus status() const override;
  void startSession(const MediaTime& sourceTime) override;
  void endSession(const MediaTime& sourceTime) override;
  void finishWriting(std::function<void(WriterStatus)> completion) override;
  void cancelWriting() override;

  struct Impl;

 private:
  explicit Mp4Writer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace rezoro::capture
