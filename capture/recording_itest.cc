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

#include "capture/capture_testing.h"
#include "capture/platform/testing/display_and_sound.h"
#include "capture/recording_process.h"
#include "common/json_line.h"
#include "common/unique_fd.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

const std::string kProgram = std::string(REZORO_BIN_DIR) + "/rezoro-capture";

// One recording in progress, of the program under test.
class RecordingProcess : public testing::RecordingProcess {
 public:
  RecordingProcess(const std::filesystem::path& folder, const std::string& request)
      : testing::RecordingProcess(folder, request, kProgram) {}
};

// "key=value" lines of ffprobe for one stream.
std::map<std::string, std::string> probeStream(const std::filesystem::path& file, const std::string& stream,
                                               const std::string& entries) {
  std::istringstream lines(testing::commandOutput("ffprobe -v error -count_frames -select_streams " + stream +
                                         " -show_entries stream=" + entries + " -of default=nw=1 '" +
                                         file.string() + "'"));
  std::map<std::string, std::string> values;
  for (std::string line; std::getline(lines, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

// The first channel of a file's audio, decoded to 48 kHz floats.
std::vector<float> decodedAudio(const std::filesystem::path& file) {
  const std::string raw = testing::commandOutput("ffmpeg -v error -i '" + file.string() +
                                        "' -map 0:a:0 -ac 1 -ar 48000 -f f32le -");
  std::vector<float> samples(raw.size() / sizeof(float));
  std::memcpy(samples.data(), raw.data(), samples.size() * sizeof(float));
  return samples;
}

// One frame at `seconds` as 8-bit gray pixels.
std::vector<uint8_t> grayFrame(const std::filesystem::path& file, double seconds) {
  const std::string raw = testing::commandOutput("ffmpeg -v error -ss " + std::to_string(seconds) + " -i '" + file.string() +
                                        "' -frames:v 1 -f rawvideo -pix_fmt gray -");
  return std::vector<uint8_t>(raw.begin(), raw.end());
}

double rms(const std::vector<float>& samples, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(samples[i]) * samples[i];
  return to > from ? std::sqrt(sum / double(to - from)) : 0;
}

// Power of one frequency in samples[from, to) (Goertzel).
double power(const std::vector<float>& samples, size_t from, size_t to, double frequency) {
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / 48000);
  double previous = 0, beforePrevious = 0;
  for (size_t i = from; i < to; ++i) {
    const double current = samples[i] + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
  }
  return previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
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
  const std::vector<std::string> controls = {"q", "quit", "end of input", "SIGINT", "SIGTERM"};
  for (const std::string& control : controls) {
    SCOPED_TRACE(control);
    const std::string name = "stopped-" + std::to_string(&control - controls.data()) + ".mp4";
    RecordingProcess recording(folder.path(), videoRequest(name, 30, false, "[0,0,320,240]"));
    std::this_thread::sleep_for(1500ms);
    recording.write("Q\n");  // not a stop
    if (control == "q") recording.write("q\n");
    if (control == "quit") recording.write("quit");
    if (control == "end of input") recording.closeInput();
    if (control == "SIGINT") recording.signal(SIGINT);
    if (control == "SIGTERM") recording.signal(SIGTERM);
    ASSERT_EQ(recording.wait(8s), 0) << recording.error();
    const Json result = recording.result();
    EXPECT_EQ(result["ok"], true);
    EXPECT_GT(result["duration_seconds"].get<double>(), 0.8);
    EXPECT_LT(result["duration_seconds"].get<double>(), 3.0);
    EXPECT_GT(std::filesystem::file_size(folder / name), 1000u);
  }
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

}  // namespace
}  // namespace rezoro::capture
