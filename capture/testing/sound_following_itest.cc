// Recordings whose output changes mid-way (headphones plugged in: another sink becomes the default and
// the players move to it), on PulseAudio and on PipeWire, read back from the published WAV file. The
// plain monitor's following is PulseAudioCaptureTest's; here the whole program follows with an
// application left out, through the per-application mix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <thread>

#include "capture/testing/program_recording.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;

class SoundFollowingTest : public ::testing::TestWithParam<testing::SoundServerKind> {
 protected:
  void SetUp() override {
    try {
      world_ = testing::DisplayAndSound::start({.display = true, .sound = true, .server = GetParam()});
    } catch (const std::exception& error) {
      GTEST_SKIP() << "no private display and sound server: " << error.what();
    }
  }

  // Records 4 s of sound, leaving out `excludedPID`, while a 440 Hz tone plays; 1.5 s in, another
  // sink becomes the default and every sink input moves to it. The first channel of the WAV file.
  std::vector<float> recordAcrossTheSwitch(pid_t excludedPID) {
    testing::ChildProcess tone = world_->sound().playTone(440, 6, 0.5);
    world_->sound().addSink("rezoro_headphones", false);
    std::this_thread::sleep_for(300ms);
    const std::string request = R"({"kind":"audio","destination":")" + (folder_ / "sound.wav").string() +
                                R"(","capture_audio":true,"duration_seconds":4,"exclude_pid":)" +
                                std::to_string(excludedPID) + "}";
    testing::ProgramRecording recording(folder_.path(), request);
    std::this_thread::sleep_for(1500ms);
    world_->sound().setDefaultSink("rezoro_headphones");
    world_->sound().moveSinkInputs("rezoro_headphones");
    EXPECT_EQ(recording.wait(), 0) << recording.error();
    return testing::decodedAudio(folder_ / "sound.wav");
  }

  // The longest run of 10 ms blocks without the tone between 0.5 s into the file and 0.3 s before
  // its end, in seconds; a block holds it at a quarter of its amplitude or more.
  static double longestHole(const std::vector<float>& sound, double frequency) {
    constexpr size_t kBlock = 480;
    const double audible = std::pow(0.125 * kBlock / 2, 2);  // a sine of amplitude A gives (A·N/2)²
    double hole = 0, longest = 0;
    for (size_t from = 24000; from + kBlock + 14400 <= sound.size(); from += kBlock) {
      hole = testing::power(sound, from, from + kBlock, frequency) >= audible ? 0 : hole + 0.01;
      longest = std::max(longest, hole);
    }
    return longest;
  }

  std::unique_ptr<testing::DisplayAndSound> world_;
  testing::TempDir folder_;
};
INSTANTIATE_TEST_SUITE_P(Servers, SoundFollowingTest, ::testing::ValuesIn(testing::kSoundServerKinds),
                         testing::SoundServerParameterName());

TEST_P(SoundFollowingTest, AnExcludedApplicationStaysLeftOutOnTheNewDefaultSink) {
  const auto excludedTone = world_->sound().folder() / "excluded.wav";
  testing::VirtualSoundServer::writeTone(excludedTone, 1000, 6, 0.5);
  // The player is the application: listed among those that play once its sink input is there.
  testing::ChildProcess excluded =
      testing::ChildProcess::start({"paplay", "--latency-msec=20", excludedTone.string()});
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (world_->sound().pactl({"list", "short", "sink-inputs"}).find('\n') != std::string::npos) break;
    std::this_thread::sleep_for(20ms);
  }
  const std::vector<float> sound = recordAcrossTheSwitch(excluded.pid());
  ASSERT_GT(sound.size(), 48000u * 3);
  const double hole = longestHole(sound, 440);
  std::printf("longest hole in the tone %.3f s\n", hole);
  EXPECT_LE(hole, 0.05);
  // Not a trace of the excluded tone anywhere: below 1/1000 of the other's power.
  const size_t from = 24000, to = sound.size() - 14400;
  EXPECT_LT(testing::power(sound, from, to, 1000), testing::power(sound, from, to, 440) / 1000);
}

}  // namespace
}  // namespace rezoro::capture
