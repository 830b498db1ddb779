#include "capture/platform/sndfile/wave_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "capture/testing/test_basics.h"

namespace rezoro::capture {
namespace {

uint32_t little32(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}
uint16_t little16(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

TEST(WaveFile, Writes16BitStereo48kHzWithClipping) {
  testing::TempDir dir;
  const auto path = dir / "sound.wav";
  const std::vector<float> first = {0.5f, -0.5f, 1.5f, -1.5f, 0.0f, 1.0f};
  std::vector<float> second(2 * 1000);
  for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<float>(std::sin(0.01 * i)) * 0.9f;
  {
    auto wave = WaveFile::create(path);
    wave->write(first.data(), 3);
    wave->write(second.data(), 1000);
    wave->write(second.data(), 0);
  }

  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(bytes.size(), 44u);
  EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
  EXPECT_EQ(std::memcmp(bytes.data() + 8, "WAVEfmt ", 8), 0);
  EXPECT_EQ(little16(bytes, 20), 1);      // PCM
  EXPECT_EQ(little16(bytes, 22), 2);      // channels
  EXPECT_EQ(little32(bytes, 24), 48000u); // frames per second
  EXPECT_EQ(little16(bytes, 32), 4);      // bytes per frame
  EXPECT_EQ(little16(bytes, 34), 16);     // bits per sample

  // Find the data chunk and read the samples back.
  size_t at = 12;
  while (at + 8 <= bytes.size() && std::memcmp(bytes.data() + at, "data", 4) != 0) at += 8 + little32(bytes, at + 4);
  ASSERT_LT(at + 8, bytes.size());
  ASSERT_EQ(little32(bytes, at + 4), 1003u * 4);
  auto sampleAt = [&](size_t index) { return static_cast<int16_t>(little16(bytes, at + 8 + 2 * index)); };
  EXPECT_NEAR(sampleAt(0), 16384, 1);
  EXPECT_NEAR(sampleAt(1), -16384, 1);
  EXPECT_EQ(sampleAt(2), 32767);   // 1.5 clipped, not wrapped
  EXPECT_EQ(sampleAt(3), -32768);  // -1.5 clipped
  EXPECT_EQ(sampleAt(4), 0);
  EXPECT_GE(sampleAt(5), 32766);
  for (size_t i = 0; i < second.size(); i += 97) {
    EXPECT_NEAR(sampleAt(6 + i), second[i] * 32767.0, 2.0) << i;
  }
}

TEST(WaveFile, CreationFailureIsAnError) {
  testing::TempDir dir;
  EXPECT_THROW(WaveFile::create(dir / "missing" / "sound.wav"), std::runtime_error);
}

}  // namespace
}  // namespace rezoro::capture
