#pragma once

// Marks in a recording that tell when things happened, for tests and benchmarks of the capture
// program's start and audio/video alignment.
//
//   testing::MarkWindow marks(200, 150, 640, 360, testing::monotonicSeconds());  // time code + flash area
//   testing::ClickPlayer clicks(world->sound().server());
//   ... start the recording ...
//   const double at = testing::monotonicSeconds() + 1.5;
//   clicks.clickAt(at);
//   marks.flashAt(at);                 // the right half turns white at the same instant
//   ... finish the recording ...
//   testing::SyncMarks found = testing::syncMarks(file, marks.origin());
//
// The window's left half shows, as two gray levels, the monotonic time since `origin`: a coarse
// level (40 ms a step) and a fine one (4 ms a step, wrapping), so the first frame of a movie tells
// when it was captured to within a few milliseconds. Needs ffmpeg and ffprobe for the analysis.

#include <pulse/error.h>
#include <pulse/simple.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture::testing {

inline double monotonicSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

constexpr double kCoarseStep = 0.040;
constexpr double kFineStep = 0.004;

// Plays silence into the default sink without pause, with one short click at a chosen monotonic
// instant: each 5 ms block is written knowing, from the stream's own latency, when it will be
// heard, and the click is put where that instant falls.
class ClickPlayer {
 public:
  explicit ClickPlayer(const std::string& server, PlayerBuffering kind = PlayerBuffering::low) {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, 48000, 2};
    const uint32_t tenMilliseconds = 480 * 2 * sizeof(float);
    const uint32_t target = kind == PlayerBuffering::low ? tenMilliseconds : uint32_t(-1);
    const pa_buffer_attr buffering{uint32_t(-1), target, uint32_t(-1), uint32_t(-1), uint32_t(-1)};
    int error = 0;
    stream_ = pa_simple_new(server.c_str(), "rezoro-test", PA_STREAM_PLAYBACK, nullptr, "click", &format,
                            nullptr, &buffering, &error);
    if (stream_ == nullptr) throw std::runtime_error(std::string("cannot play into the sink: ") + pa_strerror(error));
    thread_ = std::thread([this] { run(); });
  }
  ~ClickPlayer() {
    running_ = false;
    thread_.join();
    pa_simple_free(stream_);
  }
  ClickPlayer(const ClickPlayer&) = delete;
  ClickPlayer& operator=(const ClickPlayer&) = delete;

  void clickAt(double monotonic) { clickAt_ = monotonic; }

 private:
  void run() {
    constexpr int kBlock = 240, kClick = 96;  // 5 ms blocks, a 2 ms click
    std::vector<float> block(kBlock * 2);
    int clickLeft = 0;
    while (running_) {
      std::fill(block.begin(), block.end(), 0.0f);
      int error = 0;
      const pa_usec_t latency = pa_simple_get_latency(stream_, &error);
      const double heardAt = monotonicSeconds() + double(latency) * 1e-6;
      int from = 0;
      const double click = clickAt_.load();
      if (clickLeft == 0 && click > 0) {
        const double offset = std::round((click - heardAt) * 48000);
        if (offset < kBlock) {
          from = static_cast<int>(std::max(offset, 0.0));
          clickLeft = kClick;
          clickAt_ = -1;
        }
      }
      for (int i = from; i < kBlock && clickLeft > 0; ++i, --clickLeft) block[2 * i] = block[2 * i + 1] = 0.8f;
      if (pa_simple_write(stream_, block.data(), block.size() * sizeof(float), &error) < 0) return;
    }
  }

  pa_simple* stream_ = nullptr;
  std::atomic<double> clickAt_{-1};
  std::atomic<bool> running_{true};
  std::thread thread_;
};

// A window of this process: the left half shows the time since `origin` (see above), the right half
// is black until flashAt's instant and white from then on.
class MarkWindow {
 public:
  MarkWindow(int x, int y, int width, int height, double origin)
      : window_(x, y, width, height, 0x000000), width_(width), height_(height), origin_(origin) {
    thread_ = std::thread([this] { run(); });
  }
  ~MarkWindow() {
    running_ = false;
    thread_.join();
  }
  double origin() const { return origin_; }
  void flashAt(double monotonic) { flashAt_ = monotonic; }

 private:
  void run() {
    while (running_) {
      const double now = monotonicSeconds(), flash = flashAt_.load();
      if (flash > 0 && now >= flash) {
        window_.fillRectangle(0xffffff, width_ / 2, 0, width_ - width_ / 2, height_, /*wait=*/true);
        flashAt_ = -1;
      }
      const double elapsed = std::max(now - origin_, 0.0);
      const auto coarse = static_cast<uint32_t>(std::min(elapsed / kCoarseStep, 255.0));
      const auto fine = static_cast<uint32_t>(elapsed / kFineStep) % 256;
      window_.fillRectangle(coarse * 0x010101, 0, 0, width_ / 4, height_);
      window_.fillRectangle(fine * 0x010101, width_ / 4, 0, width_ / 2 - width_ / 4, height_);
      const double next = flashAt_.load();
      std::this_thread::sleep_for(std::chrono::microseconds(next > 0 && next - now < 0.002 ? 100 : 1000));
    }
  }

  AnimatedWindow window_;
  int width_, height_;
  double origin_;
  std::atomic<double> flashAt_{-1};
  std::atomic<bool> running_{true};
  std::thread thread_;
};

struct SyncMarks {
  std::optional<double> firstFrameCaptured;  // seconds after the mark window's origin
  // Origin time minus file time, the median over the frames: adds to a file time to give when,
  // after the origin, what it shows was on the screen (by the frames' time codes).
  std::optional<double> fileToOrigin;
  std::optional<double> flash;               // file time of the first frame with the flash
  std::optional<double> click;               // file time of the click
  std::optional<double> offset() const {     // click − flash
    if (!flash || !click) return std::nullopt;
    return *click - *flash;
  }
  // How long after `instant` (seconds after the origin) the file time `at` shows, by the time codes.
  std::optional<double> after(std::optional<double> at, double instant) const {
    if (!at || !fileToOrigin) return std::nullopt;
    return *at + *fileToOrigin - instant;
  }
};

// Reads the marks of a mark window that filled the recorded area.
inline SyncMarks syncMarks(const std::filesystem::path& file) {
  SyncMarks marks;
  const std::string quoted = "'" + file.string() + "'";
  // Per frame, the mean colour of four columns: coarse, fine and twice the flash part.
  const std::string levels = commandOutput(
      "ffmpeg -v error -i " + quoted +
      " -map 0:v:0 -fps_mode passthrough -enc_time_base -1 -vf scale=4:1:flags=area,format=rgb24 -f rawvideo -");
  auto green = [&](size_t frame, int column) { return uint8_t(levels[12 * frame + 3 * column + 1]); };
  std::istringstream times(commandOutput("ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of csv=p=0 " + quoted));
  std::vector<double> stamps;
  // A frame with side data (the first, say) is followed by an empty line, which is no frame.
  for (std::string line; std::getline(times, line);) {
    if (line.find_first_of("0123456789") != std::string::npos) stamps.push_back(std::atof(line.c_str()));
  }
  const size_t frames = std::min(stamps.size(), levels.size() / 12);
  auto captured = [&](size_t frame) {
    const double coarse = green(frame, 0) * kCoarseStep + kCoarseStep / 2;
    const double fine = green(frame, 1) * kFineStep;
    const double wrap = 256 * kFineStep;
    return fine + std::round((coarse - fine) / wrap) * wrap;
  };
  if (frames > 0) marks.firstFrameCaptured = captured(0);
  std::vector<double> shifts;
  for (size_t i = 0; i < frames; ++i) shifts.push_back(captured(i) - stamps[i]);
  if (!shifts.empty()) {
    std::nth_element(shifts.begin(), shifts.begin() + shifts.size() / 2, shifts.end());
    marks.fileToOrigin = shifts[shifts.size() / 2];
  }
  for (size_t i = 0; i < frames; ++i) {
    if (green(i, 3) > 128) {
      marks.flash = stamps[i];
      break;
    }
  }
  const double audioStart = std::atof(commandOutput("ffprobe -v error -select_streams a:0 -show_entries stream=start_time "
                                                    "-of csv=p=0 " + quoted).c_str());
  const std::string raw = commandOutput("ffmpeg -v error -i " + quoted + " -map 0:a:0 -ac 1 -f f32le -");
  for (size_t i = 0; i + sizeof(float) <= raw.size(); i += sizeof(float)) {
    float sample;
    std::memcpy(&sample, raw.data() + i, sizeof sample);
    if (std::fabs(sample) > 0.3f) {
      marks.click = audioStart + double(i / sizeof(float)) / 48000;
      break;
    }
  }
  return marks;
}

}  // namespace rezoro::capture::testing
