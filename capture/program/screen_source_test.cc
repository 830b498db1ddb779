#include "capture/program/screen_source.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace rezoro::capture {
namespace {

ScreenSource sourceFor(const std::map<std::string, std::string>& variables) {
  return chosenScreenSource([&](const char* name) -> const char* {
    const auto found = variables.find(name);
    return found == variables.end() ? nullptr : found->second.c_str();
  });
}

TEST(ScreenSourceTest, AWaylandSessionRecordsThroughThePortal) {
  EXPECT_EQ(sourceFor({{"XDG_SESSION_TYPE", "wayland"}, {"DISPLAY", ":0"}}), ScreenSource::portal);
  EXPECT_EQ(sourceFor({{"WAYLAND_DISPLAY", "wayland-0"}}), ScreenSource::portal);
}

TEST(ScreenSourceTest, X11OtherwiseAndWhenXwaylandIsThereWithoutASessionType) {
  EXPECT_EQ(sourceFor({}), ScreenSource::x11);
  EXPECT_EQ(sourceFor({{"XDG_SESSION_TYPE", "x11"}, {"DISPLAY", ":0"}}), ScreenSource::x11);
  EXPECT_EQ(sourceFor({{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}}), ScreenSource::x11);
  EXPECT_EQ(sourceFor({{"WAYLAND_DISPLAY", ""}}), ScreenSource::x11);
}

TEST(ScreenSourceTest, TheVariableForcesEitherAndOtherValuesAreIgnored) {
  EXPECT_EQ(sourceFor({{"REZORO_SCREEN_SOURCE", "x11"}, {"XDG_SESSION_TYPE", "wayland"}}), ScreenSource::x11);
  EXPECT_EQ(sourceFor({{"REZORO_SCREEN_SOURCE", "portal"}, {"DISPLAY", ":0"}}), ScreenSource::portal);
  EXPECT_EQ(sourceFor({{"REZORO_SCREEN_SOURCE", "Portal"}, {"DISPLAY", ":0"}}), ScreenSource::x11);
}

}  // namespace
}  // namespace rezoro::capture
