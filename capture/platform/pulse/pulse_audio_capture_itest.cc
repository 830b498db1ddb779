#include "capture/platform/pulse/pulse_audio_capture.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "capture/testing/display_and_sound.h"

namespace rezoro::capture {
namespace {

TEST(PulseAudioCaptureWithoutServer, FailsToStartQuietlyAndSpawnsNoServer) {
  testing::TemporaryFolder folder;
  testing::ScopedEnvironmentVariable server("PULSE_SERVER", "unix:" + (folder.path() / "none").string());
  int failures = 0;
  PulseAudioCapture capture([](SampleBuffer) {}, [&](const PlatformError&) { ++failures; });
  const auto error = capture.start(2.0);
  ASSERT_TRUE(error);
  EXPECT_FALSE(error->message.empty());
  EXPECT_EQ(failures, 0);
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "none"));
}

}  // namespace
}  // namespace rezoro::capture
