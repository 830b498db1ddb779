// Windows of excluded processes on a private Xvfb, with and without a compositing manager: the
// capture shows what lies beneath them and never them; on a server without Composite and
// X-Resource ("bare"), never them.
#include "capture/platform/x11/window_composer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "capture/platform/testing/display_and_sound.h"
#include "capture/platform/testing/stream_answers.h"
#include "capture/platform/x11/x11_capture_stream.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kBeneath = 0x20C040;   // green, a window of this process
constexpr uint32_t kExcluded = 0xE02020;  // red, the excluded process and its child
const std::string kWindowTool = std::string(REZORO_BIN_DIR) + "/animated_window";

bool isExcludedColour(const uint8_t* bgra) { return bgra[2] > 180 && bgra[1] < 90 && bgra[0] < 90; }
bool isBeneathColour(const uint8_t* bgra) { return bgra[1] > 150 && bgra[2] < 90 && bgra[0] < 120; }

// Judges every complete frame as it arrives: frames holding the excluded colour are counted, and
// the last frame's pixels at given points are kept.
class FrameJudge : public StreamOutput, public StreamDelegate {
 public:
  explicit FrameJudge(std::vector<std::pair<int, int>> points) : points_(std::move(points)) {}
  void didOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType) override {
    if (!sample.imageBuffer) return;
    const ImageBuffer& image = *sample.imageBuffer;
    int excluded = 0;
    for (int y = 0; y < image.height; ++y) {
      const uint8_t* row = image.baseAddress() + static_cast<size_t>(y) * image.bytesPerRow;
      for (int x = 0; x < image.width; ++x) excluded += isExcludedColour(row + x * 4);
    }
    std::lock_guard lock(mutex_);
    ++frames_;
    framesWithExcluded_ += excluded > 0;
    beneathAtPoints_ = blackAtPoints_ = 0;
    for (auto [x, y] : points_) {
      const uint8_t* pixel = image.baseAddress() + static_cast<size_t>(y) * image.bytesPerRow + x * 4;
      beneathAtPoints_ += isBeneathColour(pixel);
      blackAtPoints_ += pixel[0] == 0 && pixel[1] == 0 && pixel[2] == 0;
    }
  }
  void didStopWithError(const PlatformError& error) override { ADD_FAILURE() << error.message; }

  std::vector<std::pair<int, int>> points_;
  std::mutex mutex_;
  int frames_ = 0, framesWithExcluded_ = 0;
  size_t beneathAtPoints_ = 0, blackAtPoints_ = 0;
};

class WindowExclusionTest : public ::testing::TestWithParam<std::string> {};

TEST_P(WindowExclusionTest, TheCaptureShowsWhatLiesBeneathTheExcludedWindowsAndNeverThem) {
  if (!std::filesystem::exists(kWindowTool)) GTEST_SKIP() << kWindowTool << " is not built";
  std::unique_ptr<testing::DisplayAndSound> world;
  try {
    std::vector<std::string> disabled;
    if (GetParam() == "bare") disabled = {"Composite", "X-Resource"};
    world = testing::DisplayAndSound::start({.display = true, .sound = false, .disabledExtensions = disabled});
  } catch (const std::exception& error) {
    GTEST_SKIP() << "no private display: " << error.what();
  }
  testing::ChildProcess manager;
  if (GetParam() == "xcompmgr") manager = testing::ChildProcess::start({"xcompmgr"});
  if (GetParam() == "picom") manager = testing::ChildProcess::start({"picom", "--backend", "xrender", "--config", "/dev/null"});

  testing::AnimatedWindow beneath(100, 100, 400, 300, kBeneath);
  // The excluded application shows, once the recording runs, a window of its own and one of a child
  // process it starts then, both over ours.
  testing::ChildProcess excluded = testing::ChildProcess::start(
      {"sh", "-c", "sleep 0.5; exec " + kWindowTool + " 150 150 200 100 60 --colour E02020 --child 200 280 150 80"});

  // The area also holds bare root beside our window.
  StreamConfiguration configuration;
  configuration.sourceRect = DisplayRect{50, 50, 500, 400};
  configuration.width = 500;
  configuration.height = 400;
  configuration.minimumFrameInterval = MediaTime::make(1, 24);
  configuration.queueDepth = 3;
  ShareableDisplay display{1, {0, 0, 1920, 1080}, 1.0, "screen"};
  X11CaptureStream stream(ContentFilter(display, {ShareableApplication{excluded.pid(), "animated_window"}}),
                          configuration, {});
  auto judge = std::make_shared<FrameJudge>(std::vector<std::pair<int, int>>{{200, 150}, {225, 270}});
  SerialQueue queue;
  ASSERT_FALSE(stream.addStreamOutput(judge, StreamOutputType::screen, queue));
  ASSERT_FALSE(testing::answerOf([&](ErrorCompletion done) { stream.startCapture(done); }));
  ASSERT_TRUE(testing::waitForScreenColour(250, 200, kExcluded));
  ASSERT_TRUE(testing::waitForScreenColour(275, 320, kExcluded));
  if (GetParam() == "picom") {
    ASSERT_TRUE(manager.running()) << GetParam() << " did not start";
  }
  std::this_thread::sleep_for(1500ms);
  ASSERT_FALSE(testing::answerOf([&](ErrorCompletion done) { stream.stopCapture(done); }));
  std::promise<void> drained;
  queue.async([&] { drained.set_value(); });
  drained.get_future().wait();

  std::lock_guard lock(judge->mutex_);
  EXPECT_GE(judge->frames_, 20);
  EXPECT_EQ(judge->framesWithExcluded_, 0);
  if (GetParam() == "bare") {
    // Nothing to see beneath with: the windows that _NET_WM_PID names are blanked.
    EXPECT_EQ(judge->blackAtPoints_, 2u);
  } else {
    EXPECT_EQ(judge->beneathAtPoints_, 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(CompositingManagers, WindowExclusionTest, ::testing::Values("none", "picom", "bare"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace rezoro::capture
