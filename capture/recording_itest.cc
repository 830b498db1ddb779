// Whole recordings: the rezoro-capture program run as the parent runs it (a request file, standard
// input a pipe), on a private Xvfb with an animated window and a private PulseAudio playing a tone.
// The published files are checked with ffprobe and decoded with ffmpeg.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/program_recording.h"
#include "capture/testing/recording_process.h"
#include "capture/testing/sync_marks.h"
#include "capture/testing/test_basics.h"
#include "common/json_line.h"
#include "common/unique_fd.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using RecordingProcess = testing::ProgramRecording;
using testing::decodedAudio;
using testing::grayFrame;
using testing::power;
using testing::probeStream;
using testing::rms;

// Every frame of a file as 8-bit RGB pixels, one after the other.
std::string rgbFrames(const std::filesystem::path& file) {
  return testing::commandOutput("ffmpeg -v error -i '" + file.string() + "' -f rawvideo -pix_fmt rgb24 -");
}

class RecordingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      world = testing::DisplayAndSound::start().release();
    } catch (const std::exception& error) {
      startError = error.what();
    }
  }
  static void TearDownTestSuite() {
    delete world;
    world = nullptr;
  }
  void SetUp() override {
    if (!world) GTEST_SKIP() << "no private display and sound server: " << startError;
  }
  void TearDown() override {
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
      EXPECT_NE(entry.path().filename().string().rfind(".rezoro-recording-", 0), 0u) << entry.path();
    }
  }

  std::string videoRequest(const std::string& name, double duration, bool audio, const std::string& rect) {
    return R"({"kind":"video","destination":")" + (folder / name).string() + R"(","capture_audio":)" +
           (audio ? "true" : "false") + R"(,"duration_seconds":)" + std::to_string(duration) +
           R"(,"exclude_pid":1,"rect":)" + rect + "}";
  }
  std::string audioRequest(const std::string& name, double duration) {
    return R"({"kind":"audio","destination":")" + (folder / name).string() +
           R"(","capture_audio":true,"duration_seconds":)" + std::to_string(duration) + R"(,"exclude_pid":1})";
  }

  static testing::DisplayAndSound* world;
  static std::string startError;
  TempDir folder;
};

testing::DisplayAndSound* RecordingTest::world = nullptr;
std::string RecordingTest::startError;

TEST_F(RecordingTest, AVideoWithSoundIsTheRegionAtTwentyFourFramesWithTheTone) {
  testing::AnimatedWindow window(200, 150, 640, 360);
  window.setAnimating(true);
  testing::ChildProcess tone = world->sound().playTone(1000, 6, 0.5);
  std::this_thread::sleep_for(300ms);

  RecordingProcess recording(folder.path(), videoRequest("clip.mp4", 3, true, "[200,150,640,360]"));
  ASSERT_EQ(recording.wait(), 0) << recording.error();
  const Json result = recording.result();
  EXPECT_EQ(result["ok"], true);
  EXPECT_EQ(result["kind"], "video");
  EXPECT_EQ(result["width"], 640);
  EXPECT_EQ(result["height"], 360);
  EXPECT_NEAR(result["duration_seconds"].get<double>(), 3.0, 0.25);
  EXPECT_GE(result["video_frames"].get<int64_t>(), 60);  // 24 fps would be 72
  EXPECT_LE(result["video_frames"].get<int64_t>(), 73);
  EXPECT_GT(result["audio_frames"].get<int64_t>(), 48000);
  std::cout << "video_frames " << result["video_frames"] << ", dropped " << result["dropped_frames"]
            << ", audio_frames " << result["audio_frames"] << "\n";

  const auto file = folder / "clip.mp4";
  const auto video = probeStream(file, "v:0", "codec_name,width,height,nb_read_frames,duration");
  EXPECT_EQ(video.at("codec_name"), "h264");
  EXPECT_EQ(video.at("width"), "640");
  EXPECT_EQ(video.at("height"), "360");
  const double frames = std::stod(video.at("nb_read_frames"));
  const double seconds = std::stod(video.at("duration"));
  EXPECT_NEAR(seconds, 3.0, 0.25);
  EXPECT_NEAR(frames / seconds, 24, 4.5);

  // The animated bar: frames are not black, and they change over time.
  const auto early = grayFrame(file, 0.5);
  const auto late = grayFrame(file, 2.5);
  ASSERT_EQ(early.size(), 640u * 360u);
  ASSERT_EQ(late.size(), early.size());
  EXPECT_GT(*std::max_element(early.begin(), early.end()), 100);
  size_t different = 0;
  for (size_t i = 0; i < early.size(); ++i) different += std::abs(int(early[i]) - int(late[i])) > 40;
  EXPECT_GT(different, early.size() / 50);

  const auto audio = probeStream(file, "a:0", "codec_name,sample_rate,channels");
  EXPECT_EQ(audio.at("codec_name"), "aac");
  EXPECT_EQ(audio.at("sample_rate"), "48000");
  EXPECT_EQ(audio.at("channels"), "2");
  const std::vector<float> sound = decodedAudio(file);
  ASSERT_GT(sound.size(), 48000u * 2);
  // The second half, well after the sound server's first buffers.
  const size_t from = sound.size() / 2, to = sound.size();
  EXPECT_GT(rms(sound, from, to), 0.2);  // a 0.5 sine has 0.354
  EXPECT_GT(power(sound, from, to, 1000), 100 * power(sound, from, to, 1500));
}

TEST_F(RecordingTest, AFlashAndAClickAtOneInstantAreAtMostOneFrameApartInTheMovie) {
  testing::MarkWindow marks(200, 150, 320, 180, testing::monotonicSeconds());
  testing::ClickPlayer clicks(world->sound().server());
  RecordingProcess recording(folder.path(), videoRequest("sync.mp4", 3, true, "[200,150,320,180]"));
  // Late enough for the sound server's first, late buffers to be behind us.
  std::this_thread::sleep_for(1800ms);
  const double at = testing::monotonicSeconds() + 0.1;
  clicks.clickAt(at);
  marks.flashAt(at);
  ASSERT_EQ(recording.wait(), 0) << recording.error();

  const testing::SyncMarks found = testing::syncMarks(folder / "sync.mp4");
  ASSERT_TRUE(found.flash) << "no frame shows the flash";
  ASSERT_TRUE(found.click) << "the click is not in the sound";
  std::cout << "flash at " << *found.flash << " s, click at " << *found.click << " s, first frame captured "
            << found.firstFrameCaptured.value_or(-1) << " s after the start\n";
  // The frame that shows it is taken up to one frame interval after the flash.
  EXPECT_LE(std::fabs(*found.offset()), 1.0 / 24);
}

TEST_F(RecordingTest, AnAudioRecordingIsAWaveOfTheRequestedLengthWithTheTone) {
  testing::ChildProcess tone = world->sound().playTone(440, 5, 0.5);
  std::this_thread::sleep_for(300ms);
  RecordingProcess recording(folder.path(), audioRequest("sound.wav", 2));
  ASSERT_EQ(recording.wait(), 0) << recording.error();
  const Json result = recording.result();
  EXPECT_EQ(result["kind"], "audio");
  EXPECT_EQ(result["width"], 0);
  EXPECT_EQ(result["video_frames"], 0);
  EXPECT_NEAR(result["duration_seconds"].get<double>(), 2.0, 0.1);

  const auto file = folder / "sound.wav";
  const auto format = probeStream(file, "a:0", "codec_name,sample_rate,channels,duration");
  EXPECT_EQ(format.at("codec_name"), "pcm_s16le");
  EXPECT_EQ(format.at("sample_rate"), "48000");
  EXPECT_EQ(format.at("channels"), "2");
  EXPECT_NEAR(std::stod(format.at("duration")), result["duration_seconds"].get<double>(), 0.001);
  const std::vector<float> sound = decodedAudio(file);
  const size_t from = sound.size() / 2, to = sound.size() * 9 / 10;
  EXPECT_GT(rms(sound, from, to), 0.2);
  EXPECT_GT(power(sound, from, to, 440), 100 * power(sound, from, to, 700));
}

TEST_F(RecordingTest, EveryStopControlEndsTheRecordingWithItsFile) {
  testing::AnimatedWindow window(0, 0, 320, 240);
  window.setAnimating(true);
  testing::expectEveryStopControlToPublish(folder.path(), [this](const std::string& name, double duration) {
    return videoRequest(name, duration, false, "[0,0,320,240]");
  });
}

TEST_F(RecordingTest, FailuresLeaveNoFile) {
  // A region off every display.
  RecordingProcess offScreen(folder.path(), videoRequest("off.mp4", 2, false, "[5000,5000,100,100]"));
  EXPECT_EQ(offScreen.wait(), 1);
  EXPECT_EQ(offScreen.output(), "");
  EXPECT_EQ(Json::parse(offScreen.error())["error_code"], "no_display");
  EXPECT_FALSE(std::filesystem::exists(folder / "off.mp4"));

  // An existing destination is never overwritten.
  testing::writeTextFile(folder / "taken.mp4", "precious");
  RecordingProcess taken(folder.path(), videoRequest("taken.mp4", 2, false, "[0,0,100,100]"));
  EXPECT_EQ(taken.wait(), 1);
  EXPECT_EQ(Json::parse(taken.error())["error_code"], "invalid_input");
  EXPECT_EQ(testing::readWholeFile(folder / "taken.mp4"), "precious");

  // Input at its end from the start: the recording stops before anything is captured.
  RecordingProcess ended(folder.path(), videoRequest("ended.mp4", 2, false, "[0,0,100,100]"));
  ended.closeInput();
  EXPECT_EQ(ended.wait(), 1);
  const std::string code = Json::parse(ended.error())["error_code"];
  EXPECT_TRUE(code == "no_frames") << code;
  EXPECT_FALSE(std::filesystem::exists(folder / "ended.mp4"));

  // A placeholder reserved by the parent is replaced by the recording.
  testing::writeTextFile(folder / "reserved.mp4", "");
  RecordingProcess reserved(folder.path(), videoRequest("reserved.mp4", 1, false, "[0,0,100,100]"));
  EXPECT_EQ(reserved.wait(), 0) << reserved.error();
  EXPECT_GT(std::filesystem::file_size(folder / "reserved.mp4"), 1000u);
}

TEST_F(RecordingTest, TheExcludedApplicationIsNeitherSeenNorHeard) {
  const std::string tool = std::string(REZORO_BIN_DIR) + "/animated_window";
  if (!std::filesystem::exists(tool)) GTEST_SKIP() << tool << " is not built";
  testing::AnimatedWindow beneath(300, 200, 400, 300, 0x20C040);  // green, of another process
  // Red windows of the excluded process and of its child over ours, and its 1000 Hz tone.
  testing::ChildProcess excluded = testing::ChildProcess::start(
      {tool, "350", "250", "200", "100", "20", "--colour", "E02020", "--tone", "1000", "--child", "400", "380", "150", "80"});
  testing::ChildProcess tone = world->sound().playTone(440, 6, 0.5);
  ASSERT_TRUE(testing::waitForScreenColour(450, 300, 0xE02020));
  ASSERT_TRUE(testing::waitForScreenColour(475, 420, 0xE02020));

  const std::string request = R"({"kind":"video","destination":")" + (folder / "left-out.mp4").string() +
                              R"(","capture_audio":true,"duration_seconds":2.5,"exclude_pid":)" +
                              std::to_string(excluded.pid()) + R"(,"rect":[250,150,500,400]})";
  RecordingProcess recording(folder.path(), request);
  ASSERT_EQ(recording.wait(), 0) << recording.error();
  const auto file = folder / "left-out.mp4";

  const std::string frames = rgbFrames(file);
  const size_t frameBytes = 500 * 400 * 3;
  ASSERT_GE(frames.size() / frameBytes, 1u);
  auto at = [&](size_t frame, int x, int y) {
    return reinterpret_cast<const uint8_t*>(frames.data()) + frame * frameBytes + (size_t(y) * 500 + x) * 3;
  };
  for (size_t frame = 0; frame < frames.size() / frameBytes; ++frame) {
    int red = 0;
    for (int y = 0; y < 400; ++y) {
      for (int x = 0; x < 500; ++x) red += at(frame, x, y)[0] > 160 && at(frame, x, y)[1] < 100;
    }
    EXPECT_EQ(red, 0) << "frame " << frame;
  }
  // Where the excluded windows were, the last frame shows ours.
  const size_t last = frames.size() / frameBytes - 1;
  for (auto [x, y] : {std::pair{200, 150}, std::pair{225, 270}}) {
    EXPECT_GT(at(last, x, y)[1], 150) << x << "," << y;
    EXPECT_LT(at(last, x, y)[0], 100) << x << "," << y;
  }

  const std::vector<float> sound = decodedAudio(file);
  const size_t from = sound.size() / 3, to = sound.size();
  EXPECT_GT(rms(sound, from, to), 0.2);  // the other tone, at its level
  EXPECT_GT(power(sound, from, to, 440), 1000 * power(sound, from, to, 1000));
}

}  // namespace
}  // namespace rezoro::capture
