#include "capture/media/media_platform.h"

#include "capture/platform/ffmpeg/mp4_writer.h"
#include "capture/platform/sndfile/wave_file.h"

namespace rezoro::capture {

MediaPlatform realMediaPlatform() {
  MediaPlatform platform;
  platform.makeMpeg4Writer = [](const std::filesystem::path& path) -> std::unique_ptr<MediaFileWriter> {
    return Mp4Writer::create(path);
  };
  platform.makeWaveFile = [](const std::filesystem::path& path) -> std::unique_ptr<WaveFileWriter> {
    return WaveFile::create(path);
  };
  platform.backgroundFileWork = true;
  return platform;
}

}  // namespace rezoro::capture
