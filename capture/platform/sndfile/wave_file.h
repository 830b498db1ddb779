#pragma once

#include <filesystem>
#include <memory>

#include "capture/samples/media_file_writer.h"

struct sf_private_tag;

namespace rezoro::capture {

// A 48 kHz stereo 16-bit PCM WAV file written with libsndfile from interleaved float frames. The
// file is closed (and its header completed) when the object is released.
class WaveFile final : public WaveFileWriter {
 public:
  // Creates (or truncates) the file at `path`. Throws std::runtime_error when it cannot be opened.
  static std::unique_ptr<WaveFile> create(const std::filesystem::path& path);
  ~WaveFile() override;
  WaveFile(const WaveFile&) = delete;
  WaveFile& operator=(const WaveFile&) = delete;

  void write(const float* interleaved, int64_t frames) override;

 private:
  explicit WaveFile(sf_private_tag* file) : file_(file) {}
  sf_private_tag* file_;
};

}  // namespace rezoro::capture
