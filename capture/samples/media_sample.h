#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/samples/media_time.h"

namespace rezoro::capture {

// The frame rate and channel count of all audio the capture program handles.
inline constexpr int32_t audioSampleRate = 48000;
inline constexpr int32_t audioChannelCount = 2;

// One screen picture: 8-bit B, G, R, A bytes per pixel, top row first.
struct BgraImage {
  int32_t width = 0;
  int32_t height = 0;
  size_t bytesPerRow = 0;
  std::vector<uint8_t> bytes;  // height × bytesPerRow

  static BgraImage make(int32_t width, int32_t height) {
    const size_t row = static_cast<size_t>(width) * 4;
    return BgraImage{width, height, row, std::vector<uint8_t>(row * static_cast<size_t>(height))};
  }
  uint8_t* row(int32_t y) { return bytes.data() + static_cast<size_t>(y) * bytesPerRow; }
  const uint8_t* row(int32_t y) const { return bytes.data() + static_cast<size_t>(y) * bytesPerRow; }
};

// Where plane `index` of an I420 picture begins (0: Y, 1: U, 2: V; 3: the end): the Y rows
// `lumaBytesPerRow` apart, then U and V at half the width and height (rounded up), their rows packed.
inline size_t i420PlaneOffset(int64_t width, int64_t height, size_t lumaBytesPerRow, int index) {
  const size_t luma = lumaBytesPerRow * static_cast<size_t>(height);
  const size_t chroma = static_cast<size_t>((width + 1) / 2) * static_cast<size_t>((height + 1) / 2);
  return index == 0 ? 0 : luma + static_cast<size_t>(index - 1) * chroma;
}

// One screen picture as the H.264 encoder takes it: 8-bit Y (`bytesPerRow` apart), then U and V at
// half the width and height (rounded up), their rows packed.
struct I420Image {
  int32_t width = 0;
  int32_t height = 0;
  size_t bytesPerRow = 0;  // of the Y plane
  std::vector<uint8_t> bytes;

  int32_t chromaWidth() const { return (width + 1) / 2; }
  int32_t chromaHeight() const { return (height + 1) / 2; }
  const uint8_t* plane(int index) const { return bytes.data() + i420PlaneOffset(width, height, bytesPerRow, index); }
  size_t size() const { return plane(3) - bytes.data(); }
};

// A timed screen frame. The picture is immutable and shared, so keeping a sample (the last frame
// for its final repeat) or queueing it for the encoder costs no copy; a copy with new timing is a
// copy of this struct.
struct VideoSample {
  std::shared_ptr<const BgraImage> image;
  MediaTime presentationTime;
  // Instead of `image`: the picture already in the encoder's format.
  std::shared_ptr<const I420Image> planar = nullptr;
};

// The sample format a sound source delivered a buffer in; only float32 buffers carry their data in
// an AudioSample.
enum class AudioSampleFormat { float32, int16 };

// A timed audio buffer: 32-bit float samples, channels interleaved.
struct AudioSample {
  std::shared_ptr<const std::vector<float>> samples;
  int32_t sampleRate = audioSampleRate;
  int32_t channels = audioChannelCount;
  MediaTime presentationTime;

  int64_t frameCount() const {
    return samples && channels > 0 ? static_cast<int64_t>(samples->size()) / channels : 0;
  }
};

}  // namespace rezoro::capture
