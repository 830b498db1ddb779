#include "capture/platform/pulse/pulse_audio_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/testing/display_and_sound.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;

class PulseAudioCaptureTest : public ::testing::TestWithParam<testing::SoundServerKind> {
 protected:
  void SetUp() override {
    world_ = testing::DisplayAndSound::start({.display = false, .sound = true, .server = GetParam()});
  }
  // A capture of the default sink's monitor into buffers_, any failure a test failure.
  std::unique_ptr<PulseAudioCapture> monitorCapture() {
    return std::make_unique<PulseAudioCapture>(
        [this](SampleBuffer buffer) {
          std::lock_guard lock(mutex_);
          buffers_.push_back(std::move(buffer));
        },
        [](const PlatformError& error) { ADD_FAILURE() << error.message; });
  }

  std::unique_ptr<testing::DisplayAndSound> world_;
  std::mutex mutex_;
  std::vector<SampleBuffer> buffers_;
};
INSTANTIATE_TEST_SUITE_P(Servers, PulseAudioCaptureTest, ::testing::ValuesIn(testing::kSoundServerKinds),
                         testing::SoundServerParameterName());

// Headphones plugged in: another sink becomes the default and the player moves to it. The
// recording goes on from there, without a gap.
TEST_P(PulseAudioCaptureTest, FollowsTheDefaultSinkWhenItChanges) {
  const auto capture = monitorCapture();
  ASSERT_FALSE(capture->start());
  world_->sound().addSink("rezoro_headphones", false);
  testing::ChildProcess tone = world_->sound().playTone(1000, 3.5, 0.5);
  std::this_thread::sleep_for(1200ms);
  const double switched = hostTimeSeconds();
  world_->sound().setDefaultSink("rezoro_headphones");
  world_->sound().moveSinkInputs("rezoro_headphones");
  EXPECT_EQ(tone.wait(10s), 0);
  const double toneEnded = hostTimeSeconds();
  capture->stop();

  // 10 ms blocks of the recording by capture time, loud or not: from before the switch to the end
  // of the tone, no hole longer than 50 ms.
  std::lock_guard lock(mutex_);
  const std::vector<SampleBuffer>& buffers = buffers_;
  std::map<int64_t, std::pair<double, int>> blocks;  // energy and frames per 10 ms of capture time
  for (const SampleBuffer& buffer : buffers) {
    const double start = buffer.presentationTime.seconds();
    for (int64_t k = 0; k < buffer.numSamples; ++k) {
      auto& [energy, frames] = blocks[static_cast<int64_t>(std::floor((start + double(k) / 48000) * 100))];
      energy += (*buffer.audioSamples)[2 * k] * (*buffer.audioSamples)[2 * k];
      ++frames;
    }
  }
  double lastLoud = -1, longestGap = 0, firstAfter = -1;
  for (const auto& [block, level] : blocks) {
    if (level.second < 240 || std::sqrt(level.first / level.second) < 0.17) continue;
    const double time = static_cast<double>(block) / 100;
    if (lastLoud > 0 && lastLoud < switched + 1.0) longestGap = std::max(longestGap, time - lastLoud - 0.01);
    if (time > switched && firstAfter < 0) firstAfter = time;
    lastLoud = time;
  }
  std::printf("longest gap around the switch %.3f s; tone heard until %.3f s before it ended\n", longestGap,
              toneEnded - lastLoud);
  EXPECT_GT(firstAfter, 0) << "nothing heard after the switch";
  EXPECT_GT(lastLoud, toneEnded - 0.3);
  EXPECT_LE(longestGap, 0.05);
}

// A restart of the server (on PipeWire its whole session: pipewire, WirePlumber, pipewire-pulse)
// is no failure: the recording takes up again on the new server, at the true time of its sound,
// within 0.5 s of a player playing there again; nothing is handed on for the time between.
TEST_P(PulseAudioCaptureTest, TakesUpAgainWhenTheServerRestarts) {
  const auto capture = monitorCapture();
  ASSERT_FALSE(capture->start());
  testing::ChildProcess before = world_->sound().playTone(1000, 5, 0.5);
  std::this_thread::sleep_for(1s);
  const double stopped = hostTimeSeconds();
  world_->sound().restart(/*wholeSession=*/true);
  testing::ChildProcess after = world_->sound().playTone(1000, 5, 0.5);
  const double playing = hostTimeSeconds();  // sox's start-up included: the tone begins a little later
  std::this_thread::sleep_for(1500ms);
  capture->drain();
  capture->stop();

  std::lock_guard lock(mutex_);
  const std::vector<SampleBuffer>& buffers = buffers_;
  double lastBefore = -1, firstAfter = -1;
  for (size_t i = 0; i < buffers.size(); ++i) {
    const SampleBuffer& buffer = buffers[i];
    const double start = buffer.presentationTime.seconds();
    if (i > 0) {
      const SampleBuffer& previous = buffers[i - 1];
      EXPECT_GE(start, (previous.presentationTime + MediaTime::make(previous.numSamples, 48000)).seconds() - 0.002)
          << "buffer " << i << " goes back in time";
    }
    double energy = 0;
    for (size_t k = 0; k < buffer.audioSamples->size(); k += 2) energy += (*buffer.audioSamples)[k] * (*buffer.audioSamples)[k];
    if (std::sqrt(energy / static_cast<double>(buffer.numSamples)) < 0.17) continue;
    if (start < stopped) lastBefore = start;
    if (start > playing - 0.1 && firstAfter < 0) firstAfter = start;
  }
  std::printf("tone heard until %.3f s before the restart; again %.3f s after a player started on the new server\n",
              stopped - lastBefore, firstAfter - playing);
  EXPECT_GT(lastBefore, stopped - 0.3);
  ASSERT_GT(firstAfter, 0) << "nothing heard after the restart";
  EXPECT_LT(firstAfter, playing + 0.5);
}

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
