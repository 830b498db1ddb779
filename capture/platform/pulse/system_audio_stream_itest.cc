#include "capture/platform/pulse/system_audio_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/runtime/serial_queue.h"
#include "capture/testing/display_and_sound.h"
#include "capture/testing/stream_answers.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;
using testing::answerOf;

class AudioCollector : public StreamOutput, public StreamDelegate {
 public:
  struct Received {
    SampleBuffer sample;
    double receivedAt;
  };
  void didOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType type) override {
    std::lock_guard lock(mutex_);
    if (type == StreamOutputType::audio) received_.push_back({sample, hostTimeSeconds()});
    changed_.notify_all();
  }
  void didStopWithError(const PlatformError& error) override {
    std::lock_guard lock(mutex_);
    failures_.push_back(error.message);
    changed_.notify_all();
  }
  std::vector<Received> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::vector<std::string> failures() {
    std::lock_guard lock(mutex_);
    return failures_;
  }
  template <class Predicate>
  bool waitFor(Predicate predicate, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return predicate(received_); });
  }
  bool waitForFailure(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return !failures_.empty(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> received_;
  std::vector<std::string> failures_;
};

StreamConfiguration audioConfiguration() {
  StreamConfiguration configuration;
  configuration.width = 2;
  configuration.height = 2;
  configuration.minimumFrameInterval = MediaTime::make(1, 1);
  configuration.capturesAudio = true;
  return configuration;
}

ContentFilter anyDisplay() { return ContentFilter(ShareableDisplay{1, {0, 0, 1920, 1080}, 1.0, "test"}, {}); }

class SystemAudioStreamTest : public ::testing::TestWithParam<testing::SoundServerKind> {
 protected:
  void SetUp() override {
    world_ = testing::DisplayAndSound::start({.display = false, .sound = true, .server = GetParam()});
  }
  std::unique_ptr<testing::DisplayAndSound> world_;
  SerialQueue queue_;
};

INSTANTIATE_TEST_SUITE_P(Servers, SystemAudioStreamTest, ::testing::ValuesIn(testing::kSoundServerKinds),
                         testing::SoundServerParameterName());

TEST_P(SystemAudioStreamTest, RecordsTheSinkAsStampedFloatStereoAndHearsAToneInIt) {
  auto collector = std::make_shared<AudioCollector>();
  SystemAudioStream stream(anyDisplay(), audioConfiguration(), collector);
  ASSERT_FALSE(stream.addStreamOutput(collector, StreamOutputType::audio, queue_));
  const double started = hostTimeSeconds();
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); }));
  // A fresh record stream of a null sink's monitor hears nothing for up to two seconds: the sink
  // sleeps for its old latency before it notices the new, shorter one. Play once audio flows.
  ASSERT_TRUE(collector->waitFor([](auto& received) { return !received.empty(); }, 5s));
  const double firstArrival = collector->received().front().receivedAt;
  std::this_thread::sleep_for(300ms);
  const double toneStart = hostTimeSeconds();
  auto tone = world_->sound().playTone(1000, 1.5, 0.5);
  EXPECT_EQ(tone.wait(10s), 0);
  std::this_thread::sleep_for(500ms);
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.stopCapture(std::move(done)); }));
  const auto buffers = collector->received();
  ASSERT_GT(buffers.size(), 20u);

  // Format, size and timing of every buffer.
  int64_t totalFrames = 0;
  int discontinuities = 0;
  for (size_t i = 0; i < buffers.size(); ++i) {
    const SampleBuffer& sample = buffers[i].sample;
    EXPECT_EQ(sample.mediaType, kMediaTypeAudio);
    ASSERT_TRUE(sample.audioFormat);
    EXPECT_EQ(*sample.audioFormat, (AudioStreamFormat{48000.0, 2, true}));
    ASSERT_TRUE(sample.audioSamples);
    EXPECT_EQ(sample.audioSamples->size(), static_cast<size_t>(sample.numSamples) * 2);
    EXPECT_GE(sample.numSamples, 1);
    EXPECT_LE(sample.numSamples, 48000);
    EXPECT_EQ(sample.presentationTime.timescale, kHostTimescale);
    // Stamped on the monotonic clock near delivery. A monitor may hand out audio that the sink has
    // rendered a little ahead of its playing time, so a stamp may lie slightly after its delivery.
    const double stamp = sample.presentationTime.seconds();
    EXPECT_LT(stamp, buffers[i].receivedAt + 0.045);
    EXPECT_GT(stamp, buffers[i].receivedAt - 0.5);
    EXPECT_GT(stamp, started - 0.5);
    if (i > 0) {
      // Neighbours are seamless unless the server broke the stream.
      const SampleBuffer& previous = buffers[i - 1].sample;
      const MediaTime end = previous.presentationTime + MediaTime::make(previous.numSamples, 48000);
      const double jump = (sample.presentationTime - end).seconds();
      if (std::abs(jump) > 1e-6) {
        ++discontinuities;
        std::printf("buffer %zu starts %.1f ms after the previous one ended\n", i, jump * 1000);
      }
    }
    totalFrames += sample.numSamples;
  }
  EXPECT_LE(discontinuities, 3);
  // Small buffers (20 ms asked for; the server may send less when a player wants lower latency).
  const double averageFrames = static_cast<double>(totalFrames) / static_cast<double>(buffers.size());
  EXPECT_GT(averageFrames, 48);
  EXPECT_LT(averageFrames, 1440);

  // The tone: loud buffers start near when it was played, at its level, and it crosses zero ~2000
  // times a second. The crossings are counted in the buffers that hold it steadily, at its level
  // within 5 %, across neighbouring ones: a buffer at its start or end, or one where the player
  // ran dry for a moment (PipeWire's sink then plays a few ms of silence), holds fewer.
  double loudFrom = -1, loudEnergy = 0;
  int64_t loudFrames = 0, pairs = 0, crossings = 0;
  bool steadyBefore = false;
  float previousSample = 0;
  for (const auto& buffer : buffers) {
    const auto& samples = *buffer.sample.audioSamples;
    double energy = 0;
    for (size_t k = 0; k < samples.size(); k += 2) energy += samples[k] * samples[k];
    const double rms = std::sqrt(energy / static_cast<double>(buffer.sample.numSamples));
    const bool steady = std::abs(rms / (0.5 / std::sqrt(2.0)) - 1) < 0.05;
    if (rms >= 0.2) {
      if (loudFrom < 0) loudFrom = buffer.sample.presentationTime.seconds();
      loudFrames += buffer.sample.numSamples;
      loudEnergy += energy;
    }
    for (size_t k = 0; steady && k < samples.size(); k += 2) {
      if (steadyBefore || k > 0) {
        crossings += (previousSample < 0) != (samples[k] < 0);
        ++pairs;
      }
      previousSample = samples[k];
    }
    steadyBefore = steady;
  }
  ASSERT_GT(loudFrames, 48000);  // most of the 1.5 s
  EXPECT_NEAR(std::sqrt(loudEnergy / static_cast<double>(loudFrames)), 0.5 / std::sqrt(2.0), 0.03);
  ASSERT_GT(pairs, 24000);
  EXPECT_NEAR(static_cast<double>(crossings) / (static_cast<double>(pairs) / 48000.0), 2000, 40);
  std::printf("first audio %.3f s after the start; tone heard %.3f s after it was started\n",
              firstArrival - started, loudFrom - toneStart);
  // A buffer counts as loud when most of it holds the tone, so it may begin a little before it.
  EXPECT_GT(loudFrom, toneStart - 0.045);
  EXPECT_LT(loudFrom, toneStart + 0.5);  // sox and paplay start-up included
  EXPECT_TRUE(collector->failures().empty());
}

// A server that goes away is waited for, not reported; a stop meanwhile ends the stream at once.
TEST_P(SystemAudioStreamTest, ALostSoundServerIsNoFailureAndAStopWhileItIsAwayEndsTheStream) {
  auto collector = std::make_shared<AudioCollector>();
  SystemAudioStream stream(anyDisplay(), audioConfiguration(), collector);
  ASSERT_FALSE(stream.addStreamOutput(collector, StreamOutputType::audio, queue_));
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); }));
  world_->sound().kill();
  EXPECT_FALSE(collector->waitForFailure(1s));
  const double stopAsked = hostTimeSeconds();
  EXPECT_FALSE(answerOf([&](ErrorCompletion done) { stream.stopCapture(std::move(done)); }));
  EXPECT_LT(hostTimeSeconds() - stopAsked, 1.0);
  EXPECT_TRUE(collector->failures().empty());
}

}  // namespace
}  // namespace rezoro::capture
