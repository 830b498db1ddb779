#include "capture/platform/x11/x11_shareable_content.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>

#include "capture/platform/x11/x11_screen_capture_service.h"
#include "capture/testing/display_and_sound.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;

class X11ShareableContent : public ::testing::Test {
 protected:
  void SetUp() override { world_ = testing::DisplayAndSound::start({.display = true, .sound = false}); }
  std::unique_ptr<testing::DisplayAndSound> world_;
};

TEST_F(X11ShareableContent, ListsTheMonitorAsMainDisplayAndTheWindowOwnersByPid) {
  testing::AnimatedWindow window(100, 120, 200, 150);
  X11ScreenCaptureService service;
  EXPECT_TRUE(service.preflightScreenCaptureAccess());

  std::promise<std::pair<std::optional<ShareableContent>, std::optional<PlatformError>>> answer;
  const auto caller = std::this_thread::get_id();
  std::thread::id answeringThread;
  service.getShareableContent(false, true, [&](auto content, auto error) {
    answeringThread = std::this_thread::get_id();
    answer.set_value({std::move(content), std::move(error)});
  });
  auto future = answer.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  auto [content, error] = future.get();
  EXPECT_NE(answeringThread, caller);
  ASSERT_FALSE(error) << error->message;
  ASSERT_TRUE(content);

  ASSERT_EQ(content->displays.size(), 1u);
  const ShareableDisplay& display = content->displays.front();
  EXPECT_EQ(display.frame, (DisplayRect{0, 0, 1920, 1080}));
  EXPECT_EQ(display.pointPixelScale, 1.0);
  EXPECT_NE(display.displayID, 0u);
  EXPECT_EQ(service.mainDisplayID(), display.displayID);

  const auto own = std::find_if(content->applications.begin(), content->applications.end(),
                                [](const ShareableApplication& a) { return a.processID == ::getpid(); });
  ASSERT_NE(own, content->applications.end());
  EXPECT_FALSE(own->applicationName.empty());
  EXPECT_EQ(std::count_if(content->applications.begin(), content->applications.end(),
                          [](const ShareableApplication& a) { return a.processID == ::getpid(); }),
            1);
}

TEST_F(X11ShareableContent, UnmappedWindowsCountOnlyWhenOffScreenWindowsAreAskedFor) {
  auto connection = [] {
    std::string error;
    auto c = XcbConnection::open(error);
    EXPECT_TRUE(c) << error;
    return std::move(*c);
  }();
  {
    testing::AnimatedWindow window(10, 10, 50, 50);
    xcb_unmap_window(connection.get(), window.window());
    XcbReply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(connection.get(), xcb_get_input_focus(connection.get()), nullptr));
    auto hasOwn = [](const std::vector<ShareableApplication>& apps) {
      return std::any_of(apps.begin(), apps.end(), [](auto& a) { return a.processID == ::getpid(); });
    };
    EXPECT_FALSE(hasOwn(x11Applications(connection, false, true)));
    EXPECT_TRUE(hasOwn(x11Applications(connection, false, false)));
  }
}

TEST_F(X11ShareableContent, AWindowWithoutAPidPropertyBelongsToTheProcessOfItsClient) {
  std::string error;
  auto connection = XcbConnection::open(error);
  ASSERT_TRUE(connection) << error;
  const xcb_window_t window = xcb_generate_id(connection->get());
  const uint32_t overrideRedirect = 1;
  xcb_create_window(connection->get(), XCB_COPY_FROM_PARENT, window, connection->root(), 0, 0, 30, 30, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT, &overrideRedirect);
  xcb_map_window(connection->get(), window);
  const auto applications = x11Applications(*connection, false, true);
  ASSERT_EQ(applications.size(), 1u);  // by X-Resource: no _NET_WM_PID anywhere
  EXPECT_EQ(applications.front().processID, ::getpid());
}

TEST(X11ShareableContentWithoutDisplay, FailsWithAnErrorAndDeniesAccess) {
  testing::ScopedEnvironmentVariable display("DISPLAY", ":9999");
  X11ScreenCaptureService service;
  EXPECT_FALSE(service.preflightScreenCaptureAccess());
  std::promise<bool> failed;
  service.getShareableContent(false, true, [&](auto content, auto error) {
    failed.set_value(!content && error && !error->message.empty());
  });
  auto future = failed.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(future.get());
}

}  // namespace
}  // namespace rezoro::capture
