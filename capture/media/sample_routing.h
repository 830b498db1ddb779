#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "capture/media/media_writer.h"
#include "capture/samples/media_sample.h"

namespace rezoro::capture {

// The largest audio buffer, in frames, that is routed; larger ones are ignored.
inline constexpr int64_t largestAudioBufferFrames = 48000;
// The frame status of a screen sample whose picture is complete, the only one written.
inline constexpr int64_t completeFrameStatus = 0;

// A screen sample as the stream delivers it: the frame and its frame status (nothing when the
// sample carries none). Idle, blank, suspended, started and stopped frames have a status other
// than completeFrameStatus.
struct ScreenSample {
  VideoSample frame;
  std::optional<int64_t> frameStatus;
};

// A system-audio sample as the stream delivers it. The sample rate and channel count are the
// audio's own; `format` is the sample format the source delivered, and the interleaved data of
// `audio` is meaningful only when it is float32.
struct SystemAudioSample {
  AudioSample audio;
  AudioSampleFormat format = AudioSampleFormat::float32;
};

// True when the frame status is completeFrameStatus.
bool isCompleteFrame(const ScreenSample& sample);

// The recorder's output callback, after its own check that it is neither finishing nor completed.
// Each routes one sample into `media` (may be null: the sample is ignored) and returns false when
// the sample could not be written; the recorder then sets its failure to recordingFailed and stops.
// Ignored samples return true. Call on the recorder's queue.
//
// Screen: only complete frames reach MediaWriter::appendVideo.
// Audio: only buffers of 1 to 48000 frames, when the request captures audio, reach
// MediaWriter::appendAudio, which places them in the movie or on the wave file's 48 kHz grid.
[[nodiscard]] bool routeScreenSample(MediaWriter* media, const ScreenSample& sample);
[[nodiscard]] bool routeAudioSample(MediaWriter* media, const SystemAudioSample& sample);

}  // namespace rezoro::capture
