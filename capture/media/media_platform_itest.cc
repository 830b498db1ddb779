#include "capture/media/media_platform.h"

#include <gtest/gtest.h>

#include "capture/testing/test_basics.h"

namespace rezoro::capture {
namespace {

// The real platform hands out the real wave file: its creation fails as the file's does.
TEST(WaveFile, CreationFailureIsAnErrorOfTheRealPlatformToo) {
  testing::TempDir dir;
  EXPECT_THROW(realMediaPlatform().makeWaveFile(dir / "missing" / "sound.wav"), std::runtime_error);
  EXPECT_NE(realMediaPlatform().makeWaveFile(dir / "made.wav"), nullptr);
  EXPECT_TRUE(std::filesystem::exists(dir / "made.wav"));
}

}  // namespace
}  // namespace rezoro::capture
