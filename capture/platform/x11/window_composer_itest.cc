// Windows of excluded processes on a private Xvfb, with and without a compositing manager: the
// capture shows what lies beneath them and never them; on a server without Composite and
// X-Resource ("bare"), never them.
#include "capture/platform/x11/window_composer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "capture/platform/x11/x11_capture_stream.h"
#include "capture/testing/display_and_sound.h"
#include "capture/testing/stream_answers.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kBeneath = 0x20C040;   // green, a window of this process
constexpr uint32_t kExcluded = 0xE02020;  // red, the excluded process and its child
constexpr uint32_t kDesktop = 0x2040C0;   // blue, the root window's background
const std::string kWindowTool = std::string(REZORO_BIN_DIR) + "/animated_window";

bool isExcludedColour(const uint8_t* bgra) { return bgra[2] > 180 && bgra[1] < 90 && bgra[0] < 90; }
bool near(uint32_t colour, uint32_t expected) {
  for (int shift : {0, 8, 16}) {
    if (std::abs(int((colour >> shift) & 0xff) - int((expected >> shift) & 0xff)) > 8) return false;
  }
  return true;
}

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
    colours_.clear();
    for (auto [x, y] : points_) {
      const uint8_t* pixel = image.baseAddress() + static_cast<size_t>(y) * image.bytesPerRow + x * 4;
      colours_.push_back((uint32_t(pixel[2]) << 16) | (uint32_t(pixel[1]) << 8) | pixel[0]);
    }
  }
  void didStopWithError(const PlatformError& error) override { ADD_FAILURE() << error.message; }

  std::vector<std::pair<int, int>> points_;
  std::mutex mutex_;
  int frames_ = 0, framesWithExcluded_ = 0;
  std::vector<uint32_t> colours_;  // of the last frame at the points
};

void paintDesktop(uint32_t colour) {
  std::string error;
  std::optional<XcbConnection> connection = XcbConnection::open(error);
  ASSERT_TRUE(connection) << error;
  xcb_change_window_attributes(connection->get(), connection->root(), XCB_CW_BACK_PIXEL, &colour);
  xcb_clear_area(connection->get(), 0, connection->root(), 0, 0, 0, 0);
  XcbReply<xcb_get_input_focus_reply_t> sync(
      xcb_get_input_focus_reply(connection->get(), xcb_get_input_focus(connection->get()), nullptr));
}

// Waits until a compositing manager owns screen 0's selection: picom creates its own windows
// and takes over the painting only then, some time after its process starts.
bool waitForCompositingManager() {
  std::string error;
  std::optional<XcbConnection> connection = XcbConnection::open(error);
  if (!connection) return false;
  const xcb_atom_t selection = connection->atom("_NET_WM_CM_S0", true);
  for (int attempt = 0; attempt < 250; ++attempt) {
    XcbReply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        connection->get(), xcb_get_selection_owner(connection->get(), selection), nullptr));
    if (owner && owner->owner != XCB_WINDOW_NONE) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// Starts picom and waits until it paints the screen; false when it never took over.
bool startPicom(testing::ChildProcess& manager) {
  manager = testing::ChildProcess::start({"picom", "--backend", "xrender", "--config", "/dev/null"});
  return waitForCompositingManager();
}

// A stream of one area of the screen (root pixels, recorded at their size, 24 fps).
StreamConfiguration areaOfScreen(int x, int y, int width, int height) {
  StreamConfiguration configuration;
  configuration.sourceRect = DisplayRect{double(x), double(y), double(width), double(height)};
  configuration.width = width;
  configuration.height = height;
  configuration.minimumFrameInterval = MediaTime::make(1, 24);
  configuration.queueDepth = 3;
  return configuration;
}

ContentFilter leavingOut(pid_t pid) {
  return ContentFilter(ShareableDisplay{1, {0, 0, 1920, 1080}, 1.0, "screen"}, {ShareableApplication{pid, "animated_window"}});
}

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
  if (GetParam() == "picom") {
    ASSERT_TRUE(startPicom(manager)) << "picom did not start";
  }
  paintDesktop(kDesktop);
  testing::AnimatedWindow beneath(100, 100, 400, 300, kBeneath);
  // The excluded application shows, once the recording runs, a window of its own and one of a child
  // process it starts then, both over ours.
  testing::ChildProcess excluded = testing::ChildProcess::start(
      {"sh", "-c", "sleep 0.5; exec " + kWindowTool + " 150 150 200 100 60 --colour E02020 --child 200 380 150 80"});

  // The area also holds bare root beside our window.
  X11CaptureStream stream(leavingOut(excluded.pid()), areaOfScreen(50, 50, 500, 400), {});
  // The middle of the first excluded window, and the child's window where it covers ours and where
  // it hangs over the desktop.
  auto judge = std::make_shared<FrameJudge>(std::vector<std::pair<int, int>>{{200, 150}, {225, 340}, {225, 390}});
  SerialQueue queue;
  ASSERT_FALSE(stream.addStreamOutput(judge, StreamOutputType::screen, queue));
  ASSERT_FALSE(testing::answerOf([&](ErrorCompletion done) { stream.startCapture(done); }));
  ASSERT_TRUE(testing::waitForScreenColour(250, 200, kExcluded));
  ASSERT_TRUE(testing::waitForScreenColour(275, 440, kExcluded));
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
  ASSERT_EQ(judge->colours_.size(), 3u);
  if (GetParam() == "bare") {
    // Nothing to see beneath with: the windows that _NET_WM_PID names are blanked.
    for (uint32_t colour : judge->colours_) EXPECT_EQ(colour, 0u);
  } else {
    EXPECT_TRUE(near(judge->colours_[0], kBeneath)) << std::hex << judge->colours_[0];
    EXPECT_TRUE(near(judge->colours_[1], kBeneath)) << std::hex << judge->colours_[1];
  }
  // The desktop as it was before the window came; a compositing manager paints its own there.
  if (GetParam() == "none") {
    EXPECT_TRUE(near(judge->colours_[2], kDesktop)) << std::hex << judge->colours_[2];
  }
}

INSTANTIATE_TEST_SUITE_P(CompositingManagers, WindowExclusionTest, ::testing::Values("none", "picom", "bare"),
                         [](const auto& info) { return info.param; });

size_t topLevelWindows() {
  std::string error;
  std::optional<XcbConnection> connection = XcbConnection::open(error);
  return connection ? childWindows(*connection, connection->root()).size() : 0;
}

class DesktopBeneathTest : public ::testing::TestWithParam<std::string> {};

// An excluded window that covered the bare desktop before the capture began: nothing was ever
// seen there but the root's own background, which xsetroot set.
TEST_P(DesktopBeneathTest, WhereOnlyAnExcludedWindowWasTheRootsBackgroundIsShown) {
  if (!std::filesystem::exists(kWindowTool)) GTEST_SKIP() << kWindowTool << " is not built";
  if (testing::commandOutput("command -v xsetroot").empty()) GTEST_SKIP() << "xsetroot is not installed";
  std::unique_ptr<testing::DisplayAndSound> world;
  try {
    world = testing::DisplayAndSound::start({.display = true, .sound = false});
  } catch (const std::exception& error) {
    GTEST_SKIP() << "no private display: " << error.what();
  }
  testing::ChildProcess manager;
  // Its windows must be there before the windows are counted.
  if (GetParam() == "picom") {
    ASSERT_TRUE(startPicom(manager)) << "picom did not start";
  }
  ASSERT_EQ(testing::ChildProcess::start({"xsetroot", "-solid", "#2040C0"}).wait(), 0);
  testing::ChildProcess excluded = testing::ChildProcess::start({kWindowTool, "150", "150", "200", "100", "60", "--colour", "E02020"});
  ASSERT_TRUE(testing::waitForScreenColour(250, 200, kExcluded));
  if (GetParam() == "picom") {
    ASSERT_TRUE(manager.running()) << "picom did not start";
  }
  const size_t windowsBefore = topLevelWindows();

  X11CaptureStream stream(leavingOut(excluded.pid()), areaOfScreen(100, 100, 400, 300), {});
  // The middle of the excluded window, and bare desktop beside it.
  auto judge = std::make_shared<FrameJudge>(std::vector<std::pair<int, int>>{{150, 100}, {350, 250}});
  SerialQueue queue;
  ASSERT_FALSE(stream.addStreamOutput(judge, StreamOutputType::screen, queue));
  ASSERT_FALSE(testing::answerOf([&](ErrorCompletion done) { stream.startCapture(done); }));
  std::this_thread::sleep_for(1s);
  // With picom, its own grey desktop rather than the root's colour.
  const uint32_t bareDesktop = testing::screenPixel(450, 350);
  {
    std::lock_guard lock(judge->mutex_);
    EXPECT_GE(judge->frames_, 10);
    EXPECT_EQ(judge->framesWithExcluded_, 0);
    ASSERT_EQ(judge->colours_.size(), 2u);
    EXPECT_TRUE(near(judge->colours_[0], kDesktop)) << std::hex << judge->colours_[0];
    EXPECT_TRUE(near(judge->colours_[1], bareDesktop)) << std::hex << judge->colours_[1];
  }
  // Ours shows the root's background while composing, and goes once nothing excluded is shown:
  // the capture grabs the screen directly again.
  EXPECT_EQ(topLevelWindows(), windowsBefore + 1);
  excluded.stop();
  for (int i = 0; i < 100 && topLevelWindows() != windowsBefore - 1; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(topLevelWindows(), windowsBefore - 1);
  EXPECT_EQ(testing::screenPixel(450, 350), bareDesktop);  // ours never showed on the screen
  ASSERT_FALSE(testing::answerOf([&](ErrorCompletion done) { stream.stopCapture(done); }));
}

INSTANTIATE_TEST_SUITE_P(CompositingManagers, DesktopBeneathTest, ::testing::Values("none", "picom"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace rezoro::capture
