// Recordings of a region on a scaled GNOME desktop: the rezoro-capture program on a private
// headless mutter with xdg-desktop-portal-gnome, the dialog answered through mutter's own
// RemoteDesktop API, a window of one colour as the marker and mutter's own screen cast as the
// witness of where the screen showed it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "capture/testing/gnome_desktop.h"
#include "capture/testing/program_recording.h"
#include "capture/testing/screen_pictures.h"

namespace rezoro::capture {
namespace {

using testing::GnomeDesktop;
using testing::ScopedEnvironmentVariable;
using testing::Box;
using testing::boxOf;
using testing::decodedPicture;
using testing::Picture;

constexpr testing::Rgb kRed{255, 0, 0};

struct GnomeCase {
  double scale;
  bool fractional;
  double pointsWide;  // the monitor's width in points, as mutter lays it out
  int width, height;              // of the file for 400 × 300 points
};
void PrintTo(const GnomeCase& desk, std::ostream* out) {
  *out << "scale " << desk.scale << (desk.fractional ? " fractional" : "") << ", " << desk.width << "x" << desk.height;
}

class GnomeScaleTest : public ::testing::TestWithParam<GnomeCase> {
 protected:
  testing::TempDir folder;
};
INSTANTIATE_TEST_SUITE_P(Desks, GnomeScaleTest,
                         ::testing::Values(GnomeCase{2, false, 800, 800, 600}, GnomeCase{2, true, 800, 800, 600},
                                           GnomeCase{1.4981273412704468, true, 1068, 598, 448}),
                         [](const auto& info) {
                           return "Scale" + std::to_string(int(std::round(info.param.scale * 100))) +
                                  (info.param.fractional ? "Fractional" : "");
                         });

TEST_P(GnomeScaleTest, ARegionIsRecordedAtTheMonitorsOwnDensityWhereTheScreenShowedIt) {
  if (auto missing = GnomeDesktop::missingComponent()) GTEST_SKIP() << *missing;
  const GnomeCase desk = GetParam();
  auto desktop = GnomeDesktop::start(desk.scale, desk.fractional);
  std::vector<std::unique_ptr<ScopedEnvironmentVariable>> variables;
  for (const auto& [name, value] : desktop->clientEnvironment(folder / "state")) {
    variables.emplace_back(std::make_unique<ScopedEnvironmentVariable>(name, value.value_or("")));
  }
  desktop->showMarker("ff0000");
  desktop->screenshot(folder / "screen.png");
  const Picture screen = decodedPicture(folder / "screen.png");
  ASSERT_EQ(screen.width, GnomeDesktop::kWidth);
  const Box shown = boxOf(screen, kRed);
  ASSERT_GT(shown.right, shown.left) << "the marker is not on the screen";

  // 400 × 300 points from the monitor's top-left corner, where mutter puts the marker window.
  const double x = 0, y = 0;
  const std::string request = R"({"kind":"video","destination":")" + (folder / "gnome.mp4").string() +
                              R"(","capture_audio":false,"duration_seconds":2,"exclude_pid":1,"rect":[)" +
                              std::to_string(x) + "," + std::to_string(y) + ",400,300]}";
  testing::ChildProcess answering = desktop->answerDialogs();
  testing::ProgramRecording recording(folder.path(), request);
  ASSERT_EQ(recording.wait(std::chrono::seconds(40)), 0)
      << recording.error() << testing::readWholeFile(desktop->folder() / "logs" / "grant.log");
  EXPECT_EQ(recording.result()["width"], desk.width);
  EXPECT_EQ(recording.result()["height"], desk.height);

  const Picture file = decodedPicture(folder / "gnome.mp4", 1.0);
  const Box recorded = boxOf(file, kRed);
  const double pixelsPerPoint = GnomeDesktop::kWidth / desk.pointsWide;
  const double factor = desk.width / (400 * pixelsPerPoint);
  EXPECT_NEAR(recorded.left, (shown.left - x * pixelsPerPoint) * factor, 2);
  EXPECT_NEAR(recorded.top, (shown.top - y * pixelsPerPoint) * factor, 2);
  EXPECT_NEAR(recorded.right, (shown.right - x * pixelsPerPoint) * factor, 2);
  EXPECT_NEAR(recorded.bottom, (shown.bottom - y * pixelsPerPoint) * factor, 2);
}

}  // namespace
}  // namespace rezoro::capture
