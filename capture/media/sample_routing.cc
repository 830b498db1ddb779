#include "capture/media/sample_routing.h"

namespace rezoro::capture {

bool isCompleteFrame(const ScreenSample& sample) {
  return sample.frameStatus == completeFrameStatus;
}

bool routeScreenSample(MediaWriter* media, const ScreenSample& sample) {
  if (!isCompleteFrame(sample) || media == nullptr) return true;
  try {
    media->appendVideo(sample.frame);
  } catch (...) {
    return false;
  }
  return true;
}

bool routeAudioSample(MediaWriter* media, const SystemAudioSample& sample) {
  if (media == nullptr || !media->request.captureAudio || !sample.audio.samples) return true;
  const int64_t frames = sample.audio.frameCount();
  if (frames < 1 || frames > largestAudioBufferFrames) return true;
  try {
    media->appendAudio(sample.audio, sample.format);
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace rezoro::capture
