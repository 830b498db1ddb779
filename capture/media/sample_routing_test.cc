#include "capture/media/sample_routing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <numeric>
#include <thread>

#include "capture/media/media_testing.h"

namespace rezoro::capture {
namespace {

using testing::FakeOutputs;
using testing::TempDir;

// The stream's clock: nanoseconds since an arbitrary point.
const MediaTime t0 = MediaTime::make(987654321000, 1000000000);
MediaTime at(double seconds) { return t0 + MediaTime::fromSeconds(seconds, 1000000000); }

ScreenSample screen(MediaTime time, std::optional<int64_t> frameStatus = completeFrameStatus) {
  auto image = std::make_shared<BgraImage>(BgraImage::make(64, 48));
  return ScreenSample{VideoSample{image, time}, frameStatus};
}

// `frames` stereo frames whose left channel counts up from `first` + 1 (never zero).
SystemAudioSample sound(int64_t frames, MediaTime time, int64_t first = 0, int32_t rate = 48000,
                        int32_t channels = 2, AudioSampleFormat format = AudioSampleFormat::float32) {
  auto samples = std::make_shared<std::vector<float>>(static_cast<size_t>(frames * channels));
  for (int64_t i = 0; i < frames; ++i) (*samples)[static_cast<size_t>(i * channels)] = static_cast<float>(first + i + 1);
  return SystemAudioSample{AudioSample{samples, rate, channels, time}, format};
}

class RoutingTest : public ::testing::Test {
 protected:
  std::unique_ptr<MediaWriter> recording(const std::string& kind, double duration, bool audio = true) {
    MediaPlatform platform = testing::fakeMediaPlatform(outputs);
    platform.hostClock = [this] { return now; };
    return std::make_unique<MediaWriter>(
        testing::recordingRequest(dir / (kind == "video" ? "clip.mp4" : "sound.wav"), kind, duration, audio),
        kind == "video" ? 64 : 0, kind == "video" ? 48 : 0, platform);
  }

  TempDir dir;
  FakeOutputs outputs;
  double now = 1000.0;
};

TEST(CompleteFrame, OnlyStatusZeroCounts) {
  EXPECT_TRUE(isCompleteFrame(screen(t0, 0)));
  EXPECT_FALSE(isCompleteFrame(screen(t0, std::nullopt)));
  for (int64_t status : {1, 2, 3, 4, 5}) EXPECT_FALSE(isCompleteFrame(screen(t0, status)));
}

TEST_F(RoutingTest, IncompleteFramesAreNeitherWrittenNorCounted) {
  auto media = recording("video", 10);
  EXPECT_TRUE(routeScreenSample(media.get(), screen(at(0), 1)));
  EXPECT_TRUE(routeScreenSample(media.get(), screen(at(0.1), std::nullopt)));
  EXPECT_TRUE(outputs.events.empty());
  EXPECT_FALSE(media->firstTime().has_value());
  EXPECT_EQ(media->videoFrames() + media->droppedFrames(), 0);
  EXPECT_TRUE(routeScreenSample(nullptr, screen(at(0.2))));
}

TEST_F(RoutingTest, FramesMustBeStrictlyLaterAndWithinTheDuration) {
  auto media = recording("video", 10);
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(0))));
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(0))));     // same time again
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(9.99))));
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(5))));     // back in time
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(10.0))));  // the requested length
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(11))));
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(-1))));    // before the first frame
  EXPECT_EQ(media->videoFrames(), 2);
  EXPECT_EQ(media->droppedFrames(), 0);
  ASSERT_EQ(outputs.videoAppends.size(), 2u);
  EXPECT_EQ(outputs.videoAppends[1].presentationTime, at(9.99));
  EXPECT_EQ(media->lastVideoTime(), at(9.99));
  ASSERT_EQ(outputs.sessionStarts.size(), 1u);
  EXPECT_EQ(outputs.sessionStarts[0], at(0));
}

TEST_F(RoutingTest, AFrameTheInputIsNotReadyForIsDroppedAndLeavesTheLastFrame) {
  auto media = recording("video", 10);
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(0))));
  const auto kept = media->lastVideo()->image;
  outputs.videoReady = false;
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(0.5))));
  EXPECT_EQ(media->droppedFrames(), 1);
  EXPECT_EQ(media->videoFrames(), 1);
  EXPECT_EQ(media->lastVideo()->image, kept);
  EXPECT_EQ(media->lastVideoTime(), at(0));
  outputs.videoReady = true;
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(0.5))));  // the dropped time is still free
  EXPECT_EQ(media->videoFrames(), 2);
}

TEST_F(RoutingTest, TheFirstFrameAnchorsTheRecordingEvenWhenDropped) {
  auto media = recording("video", 10);
  outputs.videoReady = false;
  now = 42.5;
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(0))));
  EXPECT_EQ(outputs.events, std::vector<std::string>{"startSession"});
  EXPECT_EQ(media->firstTime(), at(0));
  EXPECT_EQ(media->firstHostTime(), 42.5);
  EXPECT_EQ(media->droppedFrames(), 1);
  EXPECT_EQ(media->videoFrames(), 0);
  EXPECT_FALSE(media->lastVideoTime().isValid());
  outputs.videoReady = true;
  now = 43.0;
  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(0.04))));
  EXPECT_EQ(media->firstHostTime(), 42.5);
  EXPECT_EQ(outputs.sessionStarts.size(), 1u);
}

TEST_F(RoutingTest, AWriterThatIsNotWritingOrRefusesAFrameFailsTheRecording) {
  auto media = recording("video", 10);
  outputs.refuseVideo = true;
  EXPECT_FALSE(routeScreenSample(media.get(), screen(at(0))));
  EXPECT_THROW(media->appendVideo(screen(at(0.1)).frame), CaptureFailure);
  outputs.refuseVideo = false;
  outputs.writing = false;  // the writer stopped writing
  EXPECT_FALSE(routeScreenSample(media.get(), screen(at(0.2))));
  EXPECT_EQ(media->videoFrames(), 0);
}

TEST_F(RoutingTest, AudioRecordingsIgnoreScreenFrames) {
  auto media = recording("audio", 10);
  EXPECT_TRUE(routeScreenSample(media.get(), screen(at(0))));
  EXPECT_FALSE(media->firstTime().has_value());
  EXPECT_EQ(media->videoFrames() + media->droppedFrames(), 0);
}

TEST_F(RoutingTest, MovieAudioStartsWithTheFirstFrame) {
  auto media = recording("video", 10);
  ASSERT_TRUE(routeAudioSample(media.get(), sound(960, at(0))));
  EXPECT_TRUE(outputs.audioAppends.empty());
  EXPECT_EQ(media->audioFrames() + media->droppedFrames(), 0);

  ASSERT_TRUE(routeScreenSample(media.get(), screen(at(0.1))));
  ASSERT_TRUE(routeAudioSample(media.get(), sound(960, at(0.08))));  // before the first frame
  ASSERT_TRUE(routeAudioSample(media.get(), sound(960, at(0.1))));
  ASSERT_TRUE(routeAudioSample(media.get(), sound(960, at(0.12))));
  EXPECT_EQ(media->audioFrames(), 1920);
  ASSERT_EQ(outputs.audioAppends.size(), 2u);
  EXPECT_EQ(outputs.audioAppends[0].presentationTime, at(0.1));  // its own timing, unchanged

  outputs.audioReady = false;
  ASSERT_TRUE(routeAudioSample(media.get(), sound(960, at(0.14))));
  EXPECT_EQ(media->droppedFrames(), 1);
  EXPECT_EQ(media->audioFrames(), 1920);

  outputs.audioReady = true;
  outputs.refuseAudio = true;
  EXPECT_FALSE(routeAudioSample(media.get(), sound(960, at(0.16))));
  outputs.refuseAudio = false;
  EXPECT_FALSE(routeAudioSample(media.get(), sound(960, at(0.18), 0, 48000, 2, AudioSampleFormat::int16)));
}

TEST_F(RoutingTest, AudioIsIgnoredWhenNotCapturedOrOfUnusableLength) {
  auto silent = recording("video", 10, false);
  ASSERT_TRUE(routeScreenSample(silent.get(), screen(at(0))));
  ASSERT_TRUE(routeAudioSample(silent.get(), sound(960, at(0.1))));
  EXPECT_EQ(silent->audioFrames() + silent->droppedFrames(), 0);

  auto media = recording("audio", 10);
  EXPECT_TRUE(routeAudioSample(nullptr, sound(960, at(0))));
  EXPECT_TRUE(routeAudioSample(media.get(), sound(0, at(0))));
  EXPECT_TRUE(routeAudioSample(media.get(), sound(48001, at(0))));
  EXPECT_TRUE(routeAudioSample(media.get(), SystemAudioSample{AudioSample{nullptr, 48000, 2, at(0)}}));
  EXPECT_FALSE(outputs.waveCreated);
  EXPECT_EQ(media->audioFrames(), 0);
  EXPECT_TRUE(routeAudioSample(media.get(), sound(48000, at(0))));
  EXPECT_EQ(media->audioFrames(), 48000);
}

TEST_F(RoutingTest, WaveGapsBecomeSilenceInChunks) {
  auto media = recording("audio", 10);
  now = 7.0;
  ASSERT_TRUE(routeAudioSample(media.get(), sound(1024, at(0))));
  EXPECT_TRUE(outputs.waveCreated);
  EXPECT_EQ(media->firstHostTime(), 7.0);
  EXPECT_EQ(media->audioStartTime(), at(0));
  EXPECT_EQ(media->waveFrames(), 1024);
  EXPECT_EQ(media->audioFrames(), 1024);

  ASSERT_TRUE(routeAudioSample(media.get(), sound(1024, at(0.5), 5000)));
  EXPECT_EQ(outputs.waveWrites, (std::vector<int64_t>{1024, 4096, 4096, 4096, 4096, 4096, 2496, 1024}));
  EXPECT_EQ(media->waveFrames(), 25024);
  EXPECT_EQ(media->audioFrames(), 2048);
  ASSERT_EQ(outputs.waveLeft.size(), 25024u);
  EXPECT_EQ(outputs.waveLeft[1023], 1024.0f);
  EXPECT_TRUE(std::all_of(outputs.waveLeft.begin() + 1024, outputs.waveLeft.begin() + 24000,
                          [](float v) { return v == 0.0f; }));
  EXPECT_EQ(outputs.waveLeft[24000], 5001.0f);
}

TEST_F(RoutingTest, WaveOverlapIsSkippedAndEarlierAudioIgnored) {
  auto media = recording("audio", 10);
  ASSERT_TRUE(routeAudioSample(media.get(), sound(1024, at(1))));
  // Lands 24 frames before the end of what is written.
  ASSERT_TRUE(routeAudioSample(media.get(), sound(1024, at(1) + MediaTime::make(1000, 48000), 7000)));
  EXPECT_EQ(outputs.waveWrites, (std::vector<int64_t>{1024, 1000}));
  EXPECT_EQ(outputs.waveLeft[1024], 7025.0f);  // its 25th frame
  EXPECT_EQ(media->waveFrames(), 2024);
  EXPECT_EQ(media->audioFrames(), 2024);

  // Wholly inside what is written, and before the first buffer.
  ASSERT_TRUE(routeAudioSample(media.get(), sound(512, at(1.01))));
  ASSERT_TRUE(routeAudioSample(media.get(), sound(512, at(0.5))));
  EXPECT_EQ(outputs.waveWrites.size(), 2u);
  EXPECT_EQ(media->audioFrames(), 2024);
  EXPECT_EQ(media->audioStartTime(), at(1));
}

TEST_F(RoutingTest, NothingIsWrittenAtOrBeyondTheDuration) {
  auto media = recording("audio", 2);
  ASSERT_TRUE(routeAudioSample(media.get(), sound(48000, at(0))));
  ASSERT_TRUE(routeAudioSample(media.get(), sound(1024, at(1.99))));  // frame 95520: 480 fit
  EXPECT_EQ(media->waveFrames(), 96000);
  EXPECT_EQ(media->audioFrames(), 48480);
  ASSERT_TRUE(routeAudioSample(media.get(), sound(1024, at(2.0))));
  ASSERT_TRUE(routeAudioSample(media.get(), sound(1024, at(2.5))));
  EXPECT_EQ(media->waveFrames(), 96000);
  EXPECT_EQ(media->audioFrames(), 48480);
}

TEST_F(RoutingTest, WaveAudioOfAnotherFormatFailsTheRecording) {
  auto media = recording("audio", 10);
  EXPECT_FALSE(routeAudioSample(media.get(), sound(1024, at(0), 0, 44100)));
  EXPECT_FALSE(routeAudioSample(media.get(), sound(1024, at(0), 0, 48000, 1)));
  EXPECT_FALSE(routeAudioSample(media.get(), sound(1024, at(0), 0, 48000, 2, AudioSampleFormat::int16)));
  EXPECT_FALSE(routeAudioSample(media.get(), sound(1024, MediaTime::invalid())));
  EXPECT_FALSE(outputs.waveCreated);
  EXPECT_EQ(media->audioFrames(), 0);
  ASSERT_TRUE(routeAudioSample(media.get(), sound(1024, at(0))));
  EXPECT_FALSE(routeAudioSample(media.get(), sound(1024, at(0.1), 0, 44100)));
  EXPECT_EQ(media->audioFrames(), 1024);
}

TEST_F(RoutingTest, WaveFileErrorsFailTheRecording) {
  auto media = recording("audio", 10);
  outputs.failWaveWriteAt = 2;  // the second silence chunk
  ASSERT_TRUE(routeAudioSample(media.get(), sound(100, at(0))));
  EXPECT_FALSE(routeAudioSample(media.get(), sound(100, at(1))));
  EXPECT_EQ(media->waveFrames(), 100 + 4096);
  EXPECT_EQ(media->audioFrames(), 100);

  MediaPlatform refusing = testing::fakeMediaPlatform(outputs);
  refusing.makeWaveFile = [](const std::filesystem::path&) -> std::unique_ptr<WaveFileWriter> {
    throw std::runtime_error("read-only");
  };
  MediaWriter other(testing::recordingRequest(dir / "other.wav", "audio", 10), 0, 0, refusing);
  EXPECT_FALSE(routeAudioSample(&other, sound(100, at(0))));
  EXPECT_FALSE(other.audioStartTime().has_value());
}

// A wave file whose writes wait until it is thawed, as on a disk that stopped answering.
class StalledWaveFile : public WaveFileWriter {
 public:
  explicit StalledWaveFile(std::shared_future<void> thawed) : thawed_(std::move(thawed)) {}
  void write(const float*, int64_t) override { thawed_.wait(); }

 private:
  std::shared_future<void> thawed_;
};

TEST_F(RoutingTest, AWaveFileWrittenInTheBackgroundFailsTheRecordingOnceItFallsBehindOrFails) {
  std::promise<void> thaw;
  MediaPlatform stalled = testing::fakeMediaPlatform(outputs);
  stalled.backgroundFileWork = true;
  stalled.makeWaveFile = [thawed = thaw.get_future().share()](const std::filesystem::path&) {
    return std::unique_ptr<WaveFileWriter>(std::make_unique<StalledWaveFile>(thawed));
  };
  MediaWriter media(testing::recordingRequest(dir / "sound.wav", "audio", 60), 0, 0, stalled);
  int64_t routed = 0;
  while (routed <= waveBacklogFrames && routeAudioSample(&media, sound(4800, at(routed / 48000.0)))) routed += 4800;
  EXPECT_EQ(routed, waveBacklogFrames);  // none of it written, and the queue never waited
  thaw.set_value();

  MediaPlatform failing = testing::fakeMediaPlatform(outputs);
  failing.backgroundFileWork = true;
  outputs.failWaveWriteAt = 1;
  MediaWriter other(testing::recordingRequest(dir / "other.wav", "audio", 60), 0, 0, failing);
  bool failed = false;
  for (int buffer = 0; buffer < 200 && !failed; ++buffer) {
    failed = !routeAudioSample(&other, sound(480, at(buffer * 0.01)));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(failed);
}

}  // namespace
}  // namespace rezoro::capture
