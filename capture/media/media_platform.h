#pragma once

#include "capture/samples/media_file_writer.h"

namespace rezoro::capture {

// The real output services: Mp4Writer for movies, WaveFile for audio recordings.
MediaPlatform realMediaPlatform();

}  // namespace rezoro::capture
