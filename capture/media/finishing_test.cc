#include "capture/media/finishing.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "capture/media/media_testing.h"
#include "capture/media/sample_routing.h"

namespace rezoro::capture {
namespace {

using testing::FakeOutputs;
using testing::TempDir;
using testing::TestQueue;

const MediaTime t0 = MediaTime::make(987654321000, 1000000000);
MediaTime at(double seconds) { return t0 + MediaTime::fromSeconds(seconds, 1000000000); }

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(VideoEndTime, HostLengthRaisedToTheLastFrameAndCappedByTheDuration) {
  // Stopped 5.2 s after the first frame, last frame at 4.0 s.
  EXPECT_EQ(videoEndTime(t0, at(4.0), 5.2, 30), at(5.2));
  // Stopped at 12 s of a 10 s recording.
  EXPECT_EQ(videoEndTime(t0, at(9.9), 12, 10), at(10));
  // The host clock says 1.0 s but a frame arrived at 1.0 s: it keeps its full duration.
  EXPECT_EQ(videoEndTime(t0, at(1.0), 1.0, 30), at(1.0) + frameDuration);
  // A single frame and a stop 0.01 s later, on a 600 clock: exactly 1/24 s.
  const MediaTime first = MediaTime::make(6000, 600);
  EXPECT_EQ(videoEndTime(first, first, 0.01, 30), first + frameDuration);
  // A frame that lasts past the requested length is cut there.
  EXPECT_EQ(videoEndTime(t0, at(9.99), 9.995, 10), at(10));
}

class FinishingTest : public ::testing::Test {
 protected:
  std::unique_ptr<MediaWriter> recording(const std::string& kind, double duration) {
    destination = dir / (kind == "video" ? "clip.mp4" : "sound.wav");
    MediaPlatform platform = testing::fakeMediaPlatform(outputs);
    platform.hostClock = [this] { return now; };
    return std::make_unique<MediaWriter>(testing::recordingRequest(destination, kind, duration),
                                         kind == "video" ? 64 : 0, kind == "video" ? 48 : 0, platform);
  }
  static ScreenSample frame(MediaTime time) {
    auto image = std::make_shared<BgraImage>(BgraImage::make(64, 48));
    return ScreenSample{VideoSample{image, time}, completeFrameStatus};
  }
  static SystemAudioSample sound(int64_t frames, MediaTime time) {
    auto samples = std::make_shared<std::vector<float>>(static_cast<size_t>(frames * 2), 0.25f);
    return SystemAudioSample{AudioSample{samples, 48000, 2, time}};
  }
  // Frames every 1/24 s from the first frame up to `last` seconds, the host clock following.
  void frames(MediaWriter& media, double last) {
    for (int i = 0; i / 24.0 <= last + 1e-9; ++i) {
      now = 100.0 + i / 24.0;
      ASSERT_TRUE(routeScreenSample(&media, frame(at(i / 24.0))));
    }
  }
  // Calls finish, reports the writer's finish as `status` and runs the queue.
  std::optional<CaptureResult> finish(MediaWriter& media, WriterStatus status = WriterStatus::completed) {
    std::optional<CaptureResult> result;
    int calls = 0;
    media.finish([&](CaptureResult r) { result = std::move(r), ++calls; }, queue.hop());
    if (outputs.pendingFinish) outputs.pendingFinish(status);
    queue.drain();
    EXPECT_LE(calls, 1);
    return result;
  }
  static const Json& success(const std::optional<CaptureResult>& result) {
    static const Json none;
    if (!result || !std::holds_alternative<Json>(*result)) {
      ADD_FAILURE() << "no success dictionary";
      return none;
    }
    return std::get<Json>(*result);
  }
  static std::optional<CaptureFailure> failure(const std::optional<CaptureResult>& result) {
    if (!result || !std::holds_alternative<CaptureFailure>(*result)) return std::nullopt;
    return std::get<CaptureFailure>(*result);
  }

  TempDir dir;
  FakeOutputs outputs;
  TestQueue queue;
  std::filesystem::path destination;
  double now = 100.0;
};

TEST_F(FinishingTest, VideoLastsUntilTheStopWithTheLastFrameRepeated) {
  auto media = recording("video", 30);
  frames(*media, 4.0);
  ASSERT_TRUE(routeAudioSample(media.get(), sound(960, at(0.5))));
  const int64_t written = media->videoFrames();
  EXPECT_EQ(written, 97);
  const std::filesystem::path temporary = media->temporary;
  now = 105.2;
  const auto result = finish(*media);

  ASSERT_EQ(outputs.videoAppends.size(), 98u);
  EXPECT_EQ(outputs.videoAppends.back().presentationTime, at(5.2) - frameDuration);
  EXPECT_EQ(outputs.videoAppends.back().image, outputs.videoAppends[96].image);
  ASSERT_EQ(outputs.sessionEnds.size(), 1u);
  EXPECT_EQ(outputs.sessionEnds[0], at(5.2));
  const std::vector<std::string> tail(outputs.events.end() - 5, outputs.events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"video", "endSession", "finishVideo", "finishAudio", "finishWriting"}));
  EXPECT_FALSE(media->lastVideo().has_value());

  const Json& dictionary = success(result);
  EXPECT_EQ(dictionary.size(), 10u);
  EXPECT_EQ(dictionary["ok"], true);
  EXPECT_EQ(dictionary["backend"], "screen_capture_kit");
  EXPECT_EQ(dictionary["revision"], 1);
  EXPECT_EQ(dictionary["kind"], "video");
  EXPECT_EQ(dictionary["video_frames"], written);  // the repeat is not counted
  EXPECT_EQ(dictionary["audio_frames"], 960);
  EXPECT_EQ(dictionary["dropped_frames"], 0);
  EXPECT_EQ(dictionary["duration_seconds"].get<double>(), 5.2);
  EXPECT_EQ(dictionary["width"], 64);
  EXPECT_EQ(dictionary["height"], 48);
  EXPECT_EQ(contents(destination), std::string(100, 'm'));
  EXPECT_FALSE(std::filesystem::exists(temporary));
}

TEST_F(FinishingTest, VideoIsCappedAtTheRequestedDuration) {
  auto media = recording("video", 10);
  frames(*media, 9.9);
  now = 112.0;
  const auto result = finish(*media);
  EXPECT_EQ(outputs.sessionEnds.at(0), at(10));
  EXPECT_EQ(outputs.videoAppends.back().presentationTime, at(10) - frameDuration);
  EXPECT_EQ(success(result)["duration_seconds"].get<double>(), 10.0);
}

TEST_F(FinishingTest, ASingleFrameLastsOneFrameWithoutRepeat) {
  // On a 600 clock the end is exactly 1/24 s; on the stream's nanosecond clock within a nanosecond.
  for (const MediaTime first : {MediaTime::make(6000, 600), t0}) {
    outputs = {};
    std::filesystem::remove(dir / "clip.mp4");
    auto media = recording("video", 30);
    ASSERT_TRUE(routeScreenSample(media.get(), frame(first)));
    now += 0.01;
    const auto result = finish(*media);
    EXPECT_EQ(outputs.videoAppends.size(), 1u);
    EXPECT_EQ(outputs.sessionEnds.at(0), first + frameDuration);
    const double seconds = success(result)["duration_seconds"].get<double>();
    if (first.timescale == 600) {
      EXPECT_EQ(seconds, 1.0 / 24.0);
    } else {
      EXPECT_NEAR(seconds, 1.0 / 24.0, 1e-9);
    }
  }
}

TEST_F(FinishingTest, NoRepeatWhenTheInputIsNotReady) {
  auto media = recording("video", 30);
  frames(*media, 1.0);
  outputs.videoReady = false;
  now = 103.0;
  const auto result = finish(*media);
  EXPECT_EQ(outputs.videoAppends.size(), 25u);
  EXPECT_EQ(success(result)["duration_seconds"].get<double>(), 3.0);
}

TEST_F(FinishingTest, VideoFailures) {
  {
    auto media = recording("video", 30);  // no complete frame at all
    EXPECT_EQ(failure(finish(*media)), CaptureFailure::noFrames);
    EXPECT_EQ(outputs.events, std::vector<std::string>{"cancel"});
  }
  {
    outputs = {};
    auto media = recording("video", 30);  // the only frame was dropped
    outputs.videoReady = false;
    ASSERT_TRUE(routeScreenSample(media.get(), frame(at(0))));
    EXPECT_EQ(failure(finish(*media)), CaptureFailure::noFrames);
    EXPECT_EQ(outputs.events.back(), "cancel");
  }
  {
    outputs = {};
    auto media = recording("video", 30);  // the repeat is refused
    frames(*media, 1.0);
    outputs.refuseVideo = true;
    now = 103.0;
    EXPECT_EQ(failure(finish(*media)), CaptureFailure::recordingFailed);
    EXPECT_TRUE(outputs.sessionEnds.empty());
    EXPECT_FALSE(outputs.pendingFinish);
  }
  {
    outputs = {};
    auto media = recording("video", 30);  // the writer fails to complete the file
    frames(*media, 1.0);
    EXPECT_EQ(failure(finish(*media, WriterStatus::failed)), CaptureFailure::exportFailed);
    EXPECT_FALSE(std::filesystem::exists(destination));
  }
}

TEST_F(FinishingTest, AWriterReportThatArrivesAfterTheRecordingWasGivenUpPublishesNothing) {
  auto media = recording("video", 30);
  frames(*media, 1.0);
  bool called = false;
  media->finish([&](CaptureResult) { called = true; }, queue.hop());
  EXPECT_EQ(media->giveUp(), std::nullopt);  // the stop time-out came first
  outputs.pendingFinish(WriterStatus::completed);  // on the writer's thread
  media.reset();
  queue.drain();
  EXPECT_FALSE(called);
  EXPECT_FALSE(std::filesystem::exists(destination));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(FinishingTest, AudioIsFilledWithSilenceToTheWallClockLength) {
  for (const int64_t captured : {140000, 150000}) {
    outputs = {};
    std::filesystem::remove(dir / "sound.wav");
    auto media = recording("audio", 30);
    now = 50.0;
    for (int64_t frame = 0; frame < captured; frame += 5000) {
      ASSERT_TRUE(routeAudioSample(media.get(), sound(5000, t0 + MediaTime::make(frame, 48000))));
    }
    const size_t writes = outputs.waveWrites.size();
    now = 53.0;
    const auto result = finish(*media);
    EXPECT_FALSE(media->waveFile());
    const Json& dictionary = success(result);
    EXPECT_EQ(dictionary.size(), 10u);
    EXPECT_EQ(dictionary["kind"], "audio");
    EXPECT_EQ(dictionary["audio_frames"], captured);
    EXPECT_EQ(dictionary["video_frames"], 0);
    EXPECT_EQ(dictionary["width"], 0);
    if (captured == 140000) {
      EXPECT_EQ(outputs.waveWrites.size(), writes + 1);
      EXPECT_EQ(outputs.waveWrites.back(), 4000);
      EXPECT_EQ(dictionary["duration_seconds"].get<double>(), 3.0);
    } else {
      EXPECT_EQ(outputs.waveWrites.size(), writes);
      EXPECT_EQ(dictionary["duration_seconds"].get<double>(), 3.125);
    }
    EXPECT_EQ(std::filesystem::file_size(destination), 44u + 4u * media->waveFrames());
  }
}

TEST_F(FinishingTest, AudioFailures) {
  {
    auto media = recording("audio", 30);
    EXPECT_EQ(failure(finish(*media)), CaptureFailure::noAudio);
  }
  {
    std::filesystem::remove(dir / "sound.wav");
    auto media = recording("audio", 30);
    ASSERT_TRUE(routeAudioSample(media.get(), sound(1000, t0)));
    outputs.failWaveWriteAt = static_cast<int>(outputs.waveWrites.size());
    now += 2.0;
    EXPECT_EQ(failure(finish(*media)), CaptureFailure::exportFailed);
    EXPECT_FALSE(std::filesystem::exists(destination));
  }
}

TEST_F(FinishingTest, PublishingNeverReplacesAFileAndNeedsMoreThanAHeader) {
  auto media = recording("audio", 30);
  ASSERT_TRUE(routeAudioSample(media.get(), sound(1000, t0)));
  media->closeWave();
  testing::writeTextFile(destination, "theirs");
  EXPECT_EQ(failure(media->publish(1.0)), CaptureFailure::exportFailed);
  EXPECT_EQ(contents(destination), "theirs");
  EXPECT_TRUE(std::filesystem::exists(media->temporary));

  std::filesystem::remove(destination);
  std::filesystem::resize_file(media->temporary, 44);
  EXPECT_EQ(failure(media->publish(1.0)), CaptureFailure::exportFailed);
  std::filesystem::resize_file(media->temporary, 45);
  EXPECT_EQ(success(media->publish(1.0))["duration_seconds"].get<double>(), 1.0);
  EXPECT_EQ(std::filesystem::file_size(destination), 45u);
  EXPECT_FALSE(std::filesystem::exists(media->temporary));
  EXPECT_EQ(failure(media->publish(1.0)), CaptureFailure::exportFailed);  // nothing left to publish

  std::filesystem::create_directory(media->temporary);
  std::filesystem::remove(destination);
  EXPECT_EQ(failure(media->publish(1.0)), CaptureFailure::exportFailed);
  std::filesystem::remove(media->temporary);
}

TEST_F(FinishingTest, DiscardRemovesEverything) {
  auto media = recording("video", 30);
  frames(*media, 0.5);
  ASSERT_TRUE(std::filesystem::exists(media->temporary));
  media->discard();
  EXPECT_EQ(outputs.events.back(), "cancel");
  EXPECT_FALSE(std::filesystem::exists(media->temporary));
}

TEST_F(FinishingTest, TheFinishingStepReportsTheFirstReasonToFail) {
  auto media = recording("video", 30);
  frames(*media, 1.0);
  std::vector<CaptureResult> results;
  auto deliver = [&](CaptureResult r) { results.push_back(std::move(r)); };

  runFinishingStep(false, CaptureFailure::recordingFailed, true, media.get(), deliver, queue.hop());
  EXPECT_TRUE(results.empty());
  runFinishingStep(true, CaptureFailure::timeout, true, media.get(), deliver, queue.hop());
  runFinishingStep(true, std::nullopt, true, media.get(), deliver, queue.hop());
  runFinishingStep(true, std::nullopt, false, nullptr, deliver, queue.hop());
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(std::get<CaptureFailure>(results[0]), CaptureFailure::timeout);
  EXPECT_EQ(std::get<CaptureFailure>(results[1]), CaptureFailure::recordingFailed);
  EXPECT_EQ(std::get<CaptureFailure>(results[2]), CaptureFailure::exportFailed);
  EXPECT_FALSE(outputs.pendingFinish);

  runFinishingStep(true, std::nullopt, false, media.get(), deliver, queue.hop());
  ASSERT_TRUE(outputs.pendingFinish);
  outputs.pendingFinish(WriterStatus::completed);
  EXPECT_EQ(results.size(), 3u);  // not before the queue runs the report
  queue.drain();
  ASSERT_EQ(results.size(), 4u);
  EXPECT_TRUE(std::holds_alternative<Json>(results[3]));
}

}  // namespace
}  // namespace rezoro::capture
