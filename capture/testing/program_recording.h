#pragma once
// Whole recordings for the capture program's end-to-end tests: the rezoro-capture program of this
// build run as the parent runs it (recording_process.h, in this process's environment), and the
// published files read back with ffprobe and ffmpeg.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/recording_process.h"
#include "capture/testing/test_basics.h"
#include "common/json_line.h"
#include "common/unique_fd.h"

namespace rezoro::capture::testing {

using namespace std::chrono_literals;

inline const std::string kProgram = std::string(REZORO_BIN_DIR) + "/rezoro-capture";

// One recording of the program under test.
class ProgramRecording : public RecordingProcess {
 public:
  ProgramRecording(const std::filesystem::path& folder, const std::string& request)
      : RecordingProcess(folder, request, kProgram) {}

  // The parent's ways to stop a recording: "q", "quit", "end of input", "SIGINT", "SIGTERM". An
  // upper-case Q, which is not one, goes first.
  void stopWith(const std::string& control) {
    write("Q\n");
    if (control == "q") write("q\n");
    if (control == "quit") write("quit");
    if (control == "end of input") closeInput();
    if (control == "SIGINT") signal(SIGINT);
    if (control == "SIGTERM") signal(SIGTERM);
  }
};

// "key=value" lines of ffprobe for one stream.
inline std::map<std::string, std::string> probeStream(const std::filesystem::path& file, const std::string& stream,
                                               const std::string& entries) {
  std::istringstream lines(commandOutput("ffprobe -v error -count_frames -select_streams " + stream +
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
inline std::vector<float> decodedAudio(const std::filesystem::path& file) {
  const std::string raw = commandOutput("ffmpeg -v error -i '" + file.string() +
                                        "' -map 0:a:0 -ac 1 -ar 48000 -f f32le -");
  std::vector<float> samples(raw.size() / sizeof(float));
  std::memcpy(samples.data(), raw.data(), samples.size() * sizeof(float));
  return samples;
}

// One frame at `seconds` as 8-bit gray pixels.
inline std::vector<uint8_t> grayFrame(const std::filesystem::path& file, double seconds) {
  const std::string raw = commandOutput("ffmpeg -v error -ss " + std::to_string(seconds) + " -i '" + file.string() +
                                        "' -frames:v 1 -f rawvideo -pix_fmt gray -");
  return std::vector<uint8_t>(raw.begin(), raw.end());
}

inline double rms(const std::vector<float>& samples, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(samples[i]) * samples[i];
  return to > from ? std::sqrt(sum / double(to - from)) : 0;
}

// Power of one frequency in samples[from, to) (Goertzel).
inline double power(const std::vector<float>& samples, size_t from, size_t to, double frequency) {
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / 48000);
  double previous = 0, beforePrevious = 0;
  for (size_t i = from; i < to; ++i) {
    const double current = samples[i] + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
  }
  return previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
}

// Records a 30 s video for each of the parent's stop controls, stops it with that control after
// `stopAfter` (the recording must have run for 0.8 s by then), and checks that it ends at once with
// its file published in `folder`.
inline void expectEveryStopControlToPublish(
    const std::filesystem::path& folder,
    const std::function<std::string(const std::string& name, double duration)>& videoRequest,
    std::chrono::milliseconds stopAfter = 1500ms) {
  const std::vector<std::string> controls = {"q", "quit", "end of input", "SIGINT", "SIGTERM"};
  for (const std::string& control : controls) {
    SCOPED_TRACE(control);
    const std::string name = "stopped-" + std::to_string(&control - controls.data()) + ".mp4";
    ProgramRecording recording(folder, videoRequest(name, 30));
    std::this_thread::sleep_for(stopAfter);
    recording.stopWith(control);
    ASSERT_EQ(recording.wait(8s), 0) << recording.error();
    const Json result = recording.result();
    EXPECT_EQ(result["ok"], true);
    EXPECT_GT(result["duration_seconds"].get<double>(), 0.8);
    EXPECT_LT(result["duration_seconds"].get<double>(), std::chrono::duration<double>(stopAfter).count() + 1.5);
    EXPECT_GT(std::filesystem::file_size(folder / name), 1000u);
  }
}

}  // namespace rezoro::capture::testing
