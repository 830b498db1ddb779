// Recordings routed, finished and published through the real FFmpeg movie writer and libsndfile
// wave file.
#include "capture/media/finishing.h"

#include <sndfile.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "capture/media/media_platform.h"
#include "capture/media/sample_routing.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture {
namespace {

using testing::TempDir;

// The recorder's queue as the writer's thread sees it: work is handed over from any thread and
// run on the test's thread.
class HandOver {
 public:
  QueueHop hop() {
    return [this](std::function<void()> item) {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(item));
      ready_.notify_one();
    };
  }
  // Runs the next item; false when none arrives within a minute.
  bool runNext() {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, std::chrono::seconds(60), [this] { return !items_.empty(); })) return false;
    auto item = std::move(items_.front());
    items_.pop_front();
    lock.unlock();
    item();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> items_;
};

Json ffprobe(const std::string& arguments, const std::filesystem::path& file) {
  const std::string command = "ffprobe -v error -print_format json " + arguments + " '" + file.string() + "'";
  return Json::parse(testing::commandOutput(command), nullptr, false);
}

double number(const Json& value) { return std::stod(value.get<std::string>()); }

std::shared_ptr<const BgraImage> picture(int index, int width, int height) {
  auto image = std::make_shared<BgraImage>(BgraImage::make(width, height));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* pixel = image->row(y) + 4 * x;
      pixel[0] = static_cast<uint8_t>(x + 4 * index);
      pixel[1] = static_cast<uint8_t>(y);
      pixel[2] = 128;
      pixel[3] = 255;
    }
  }
  return image;
}

// A 440 Hz stereo tone from frame `first` on.
SystemAudioSample tone(int64_t first, int64_t frames, MediaTime time) {
  auto samples = std::make_shared<std::vector<float>>(static_cast<size_t>(frames) * 2);
  for (int64_t i = 0; i < frames; ++i) {
    const auto value = static_cast<float>(0.5 * std::sin(2 * M_PI * 440.0 * static_cast<double>(first + i) / 48000));
    (*samples)[2 * i] = value;
    (*samples)[2 * i + 1] = value;
  }
  return SystemAudioSample{AudioSample{samples, 48000, 2, time}};
}

CaptureRequest request(const std::filesystem::path& destination, const std::string& kind, double duration) {
  CaptureRequest r;
  r.kind = kind;
  r.destination = destination;
  r.captureAudio = true;
  r.duration = duration;
  r.excludedPID = 1;
  if (kind == "video") r.region = CaptureRegion{0, 0, 320, 240};
  return r;
}

template <typename Input>
void awaitReady(const Input* input) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!input->isReadyForMoreMediaData() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

const MediaTime t0 = MediaTime::make(5550001234567, 1000000000);

TEST(FinishedRecording, MovieLastsUntilTheStopAndIsPublished) {
  TempDir dir;
  const auto destination = dir / "clip.mp4";
  testing::writeTextFile(destination, "");  // the parent's placeholder
  double now = 300.0;
  MediaPlatform platform = realMediaPlatform();
  platform.hostClock = [&now] { return now; };
  auto media = std::make_unique<MediaWriter>(request(destination, "video", 30), 320, 240, platform);
  EXPECT_FALSE(std::filesystem::exists(destination));

  // 48 frames at 24 fps and 2 s of tone in 20 ms buffers; audio from before the first frame.
  ASSERT_TRUE(routeAudioSample(media.get(), tone(0, 960, t0 - MediaTime::make(1, 10))));
  int frame = 0;
  int64_t sample = 0;
  while (frame < 48 || sample < 96000) {
    const MediaTime frameTime = t0 + MediaTime::make(frame, 24);
    const MediaTime audioTime = t0 + MediaTime::make(sample, 48000);
    if (frame < 48 && (sample >= 96000 || frameTime <= audioTime)) {
      awaitReady(media->videoInput());
      ASSERT_TRUE(routeScreenSample(media.get(), ScreenSample{VideoSample{picture(frame, 320, 240), frameTime},
                                                              completeFrameStatus}));
      ++frame;
    } else {
      awaitReady(media->audioInput());
      ASSERT_TRUE(routeAudioSample(media.get(), tone(sample, 960, audioTime)));
      sample += 960;
    }
  }
  ASSERT_EQ(media->videoFrames(), 48);
  ASSERT_EQ(media->audioFrames(), 96000);
  ASSERT_EQ(media->droppedFrames(), 0);
  const auto temporary = media->temporary;

  now = 302.5;  // stopped 2.5 s after the first frame
  awaitReady(media->videoInput());  // as in real time; a full queue would skip the repeat
  HandOver queue;
  std::optional<CaptureResult> result;
  runFinishingStep(true, std::nullopt, false, media.get(), [&](CaptureResult r) { result = std::move(r); },
                   queue.hop());
  ASSERT_TRUE(queue.runNext());
  ASSERT_TRUE(result && std::holds_alternative<Json>(*result))
      << (result ? rawValue(std::get<CaptureFailure>(*result)) : "no result");
  const Json& dictionary = std::get<Json>(*result);
  EXPECT_EQ(dictionary.size(), 10u);
  EXPECT_EQ(dictionary["duration_seconds"].get<double>(), 2.5);
  EXPECT_EQ(dictionary["video_frames"], 48);
  EXPECT_EQ(dictionary["audio_frames"], 96000);
  EXPECT_EQ(dictionary["width"], 320);
  EXPECT_FALSE(std::filesystem::exists(temporary));
  media.reset();

  const Json info = ffprobe("-show_format -show_streams -count_frames", destination);
  ASSERT_TRUE(info.is_object()) << "ffprobe gave no answer";
  EXPECT_NEAR(number(info["format"]["duration"]), 2.5, 0.001);
  std::map<std::string, Json> streams;
  for (const Json& stream : info["streams"]) streams[stream["codec_type"]] = stream;
  EXPECT_EQ(streams["video"]["codec_name"], "h264");
  EXPECT_EQ(streams["video"]["width"], 320);
  EXPECT_EQ(streams["video"]["height"], 240);
  EXPECT_NEAR(number(streams["video"]["duration"]), 2.5, 0.001);
  EXPECT_EQ(streams["video"]["nb_read_frames"], "49");  // the last picture repeated
  EXPECT_EQ(streams["audio"]["codec_name"], "aac");
  EXPECT_EQ(streams["audio"]["channels"], 2);
  EXPECT_NEAR(number(streams["audio"]["duration"]), 2.5, 0.001);

  const Json frames = ffprobe("-select_streams v -show_entries frame=best_effort_timestamp_time", destination);
  ASSERT_EQ(frames["frames"].size(), 49u);
  EXPECT_NEAR(number(frames["frames"][47]["best_effort_timestamp_time"]), 47.0 / 24, 0.001);
  EXPECT_NEAR(number(frames["frames"][48]["best_effort_timestamp_time"]), 2.5 - 1.0 / 24, 0.001);
}

TEST(FinishedRecording, WaveHasItsGapsAndTailFilledWithSilence) {
  TempDir dir;
  const auto destination = dir / "sound.wav";
  double now = 70.0;
  MediaPlatform platform = realMediaPlatform();
  platform.hostClock = [&now] { return now; };
  auto media = std::make_unique<MediaWriter>(request(destination, "audio", 30), 0, 0, platform);
  ASSERT_TRUE(routeAudioSample(media.get(), tone(0, 1024, t0)));
  ASSERT_TRUE(routeAudioSample(media.get(), tone(24000, 1024, t0 + MediaTime::make(1, 2))));
  ASSERT_TRUE(routeAudioSample(media.get(), tone(24900, 1024, t0 + MediaTime::make(24900, 48000))));  // overlaps
  EXPECT_EQ(media->waveFrames(), 25924);
  EXPECT_EQ(media->audioFrames(), 2948);

  now = 71.0;  // one second after the wave file was created
  // The file is completed and published on the disk thread, which then reports.
  std::promise<CaptureResult> reported;
  std::future<CaptureResult> finished = reported.get_future();
  media->finish([&](CaptureResult r) { reported.set_value(std::move(r)); }, nullptr);
  ASSERT_EQ(finished.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const std::optional<CaptureResult> result = finished.get();
  ASSERT_TRUE(std::holds_alternative<Json>(*result));
  EXPECT_EQ(std::get<Json>(*result)["duration_seconds"].get<double>(), 1.0);
  EXPECT_EQ(std::get<Json>(*result)["audio_frames"], 2948);
  EXPECT_FALSE(std::filesystem::exists(media->temporary));
  media.reset();

  SF_INFO info{};
  SNDFILE* file = sf_open(destination.c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  std::vector<int16_t> samples(static_cast<size_t>(info.frames) * 2);
  EXPECT_EQ(sf_readf_short(file, samples.data(), info.frames), info.frames);
  sf_close(file);
  EXPECT_EQ(info.frames, 48000);
  EXPECT_EQ(info.samplerate, 48000);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);

  auto peak = [&](int64_t from, int64_t to) {
    int value = 0;
    for (int64_t i = from; i < to; ++i) value = std::max(value, std::abs(static_cast<int>(samples[2 * i])));
    return value;
  };
  EXPECT_NEAR(peak(0, 1024), 16384, 200);
  EXPECT_EQ(peak(1024, 24000), 0);
  EXPECT_NEAR(peak(24000, 25924), 16384, 200);
  EXPECT_EQ(peak(25924, 48000), 0);
  // The tone runs on without a jump across the overlap: frame k holds sin(2π·440·k/48000).
  for (const int64_t k : {24000, 24899, 24900, 24923, 24924, 25923}) {
    EXPECT_NEAR(samples[2 * k], 16383.5 * std::sin(2 * M_PI * 440.0 * static_cast<double>(k) / 48000), 2.0) << k;
  }
}

}  // namespace
}  // namespace rezoro::capture
