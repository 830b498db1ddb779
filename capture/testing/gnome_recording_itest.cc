// Recordings of a region on a scaled GNOME desktop: the rezoro-capture program on a private
// headless mutter with xdg-desktop-portal-gnome, the dialog answered through mutter's own
// RemoteDesktop API (which also puts the pointer where the test wants it), a window of one colour
// as the marker and mutter's own screen cast, the cursor drawn in, as the witness of where the
// screen showed them.
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

// A GNOME desktop showing a marker window, whose programs this test's recordings find.
class GnomeRecordingTest : public ::testing::Test {
 protected:
  void startDesktop(double scale, bool fractional) {
    desktop = GnomeDesktop::start(scale, fractional);
    for (const auto& [name, value] : desktop->clientEnvironment(folder / "state")) {
      variables.emplace_back(std::make_unique<ScopedEnvironmentVariable>(name, value.value_or("")));
    }
    desktop->showMarker("ff0000");
  }
  // A recording of 400 × 300 points from (`x`, `y`).
  std::string request(const std::string& name, double seconds, double x, double y) const {
    return R"({"kind":"video","destination":")" + (folder / name).string() +
           R"(","capture_audio":false,"duration_seconds":)" + std::to_string(seconds) +
           R"(,"exclude_pid":1,"rect":[)" + std::to_string(x) + "," + std::to_string(y) + ",400,300]}";
  }

  testing::TempDir folder;
  std::unique_ptr<GnomeDesktop> desktop;
  std::vector<std::unique_ptr<ScopedEnvironmentVariable>> variables;
};

class GnomeScaleTest : public GnomeRecordingTest, public ::testing::WithParamInterface<GnomeCase> {};
INSTANTIATE_TEST_SUITE_P(Desks, GnomeScaleTest,
                         ::testing::Values(GnomeCase{1, false, 1600, 400, 300}, GnomeCase{2, false, 800, 800, 600},
                                           GnomeCase{2, true, 800, 800, 600},
                                           GnomeCase{1.4981273412704468, true, 1068, 598, 448}),
                         [](const auto& info) {
                           return "Scale" + std::to_string(int(std::round(info.param.scale * 100))) +
                                  (info.param.fractional ? "Fractional" : "");
                         });

// A region of the monitor, recorded while a marker window shows and the pointer rests over the
// empty background: the file is the region at the monitor's density, the marker and the cursor
// (which the portal draws in) where the screen showed them.
TEST_P(GnomeScaleTest, ARegionIsRecordedAtTheMonitorsOwnDensityWhereTheScreenShowedItCursorIncluded) {
  if (auto missing = GnomeDesktop::missingComponent()) GTEST_SKIP() << *missing;
  const GnomeCase desk = GetParam();
  startDesktop(desk.scale, desk.fractional);

  // 400 × 300 points from 12 points below the monitor's top-left corner, where mutter puts the
  // marker window (its title bar above the region's top); the pointer rests inside the region,
  // clear of the marker.
  const double x = 0, y = 12, pointerX = 300, pointerY = 200;
  testing::ChildProcess answering = desktop->answerDialogs(pointerX, pointerY);
  testing::ProgramRecording recording(folder.path(), request("gnome.mp4", 2, x, y));
  ASSERT_EQ(recording.wait(std::chrono::seconds(40)), 0)
      << recording.error() << testing::readWholeFile(desktop->folder() / "logs" / "grant.log");
  EXPECT_EQ(recording.result()["width"], desk.width);
  EXPECT_EQ(recording.result()["height"], desk.height);

  // The screen has not changed since: the witness, taken now, shows what was recorded.
  desktop->screenshot(folder / "screen.png");
  const Picture screen = decodedPicture(folder / "screen.png");
  ASSERT_EQ(screen.width, GnomeDesktop::kWidth);
  const double pixelsPerPoint = GnomeDesktop::kWidth / desk.pointsWide;
  const double factor = desk.width / (400 * pixelsPerPoint);
  const double originX = x * pixelsPerPoint, originY = y * pixelsPerPoint;
  const Box shown = boxOf(screen, kRed);
  ASSERT_GT(shown.right, shown.left) << "the marker is not on the screen";

  // The file's first picture and a late one: the marker and the cursor where the screen showed them.
  std::vector<std::pair<std::string, Picture>> pictures;
  for (const double seconds : {0.0, 1.5}) {
    pictures.emplace_back("the picture at " + std::to_string(seconds) + " s", decodedPicture(folder / "gnome.mp4", seconds));
    testing::expectWhereShown(shown, boxOf(pictures.back().second, kRed), originX, originY, factor,
                              "the marker in " + pictures.back().first);
  }
  testing::expectCursorAtPointer(screen, pictures, pointerX * pixelsPerPoint, pointerY * pixelsPerPoint, pixelsPerPoint,
                                 originX, originY, factor);
}

TEST_F(GnomeRecordingTest, AScreenStillSinceTheLastCastGivesItsFirstPictureAllTheSame) {
  if (auto missing = GnomeDesktop::missingComponent()) GTEST_SKIP() << *missing;
  startDesktop(2, false);
  testing::ChildProcess answering = desktop->answerDialogs(300, 200);
  // Nothing changes on the screen: the first recording's dialog closed before it started, and the
  // second restores the grant without one.
  for (const std::string name : {"first.mp4", "second.mp4"}) {
    testing::ProgramRecording recording(folder.path(), request(name, 1.5, 0, 12));
    ASSERT_EQ(recording.wait(std::chrono::seconds(40)), 0) << name << ": " << recording.error();
    EXPECT_GT(recording.result()["duration_seconds"].get<double>(), 1.0) << name;
    // (100, 100) of the file, at scale 2, is the point (50, 62): inside the marker.
    const testing::Rgb shown = testing::pixelAt(folder / name, 1.0, 100, 100, 800);
    EXPECT_TRUE(shown.r > 200 && shown.g < 60 && shown.b < 60) << name << ": " << shown.r << "," << shown.g << "," << shown.b;
  }
}

}  // namespace
}  // namespace rezoro::capture
