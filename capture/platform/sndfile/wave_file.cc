#include "capture/platform/sndfile/wave_file.h"

#include <sndfile.h>

#include <stdexcept>
#include <string>

namespace rezoro::capture {

std::unique_ptr<WaveFile> WaveFile::create(const std::filesystem::path& path) {
  SF_INFO info{};
  info.samplerate = audioSampleRate;
  info.channels = audioChannelCount;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    throw std::runtime_error(std::string("cannot create the wave file: ") + sf_strerror(nullptr));
  }
  // Without clipping libsndfile wraps out-of-range floats (1.5 becomes -16386).
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  return std::unique_ptr<WaveFile>(new WaveFile(file));
}

WaveFile::~WaveFile() { sf_close(file_); }

void WaveFile::write(const float* interleaved, int64_t frames) {
  if (frames <= 0) return;
  if (sf_writef_float(file_, interleaved, frames) != frames) {
    throw std::runtime_error(std::string("cannot write the wave file: ") + sf_strerror(file_));
  }
}

}  // namespace rezoro::capture
