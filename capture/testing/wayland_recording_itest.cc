// Whole recordings on a Wayland desktop: the rezoro-capture program on a private headless sway with
// the ScreenCast portal and PipeWire, its sound from a private PulseAudio playing a tone.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/testing/program_recording.h"
#include "capture/testing/screen_pictures.h"
#include "capture/testing/wayland_bursts.h"
#include "capture/testing/wayland_desktop.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;
using RecordingProcess = testing::ProgramRecording;
using testing::ScopedEnvironmentVariable;
using testing::WaylandDesktop;

using testing::Box;
using testing::boxOf;
using testing::decodedPicture;
using testing::Picture;
using testing::pixelAt;
using testing::Rgb;

class WaylandRecordingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (auto missing = WaylandDesktop::missingComponent()) {
      startError = *missing;
      return;
    }
    try {
      // Both take a few seconds; they start side by side.
      auto soundStarting = std::async(std::launch::async, [] { return testing::VirtualSoundServer::start(); });
      desktop = WaylandDesktop::start();
      sound = soundStarting.get();
    } catch (const std::exception& error) {
      startError = error.what();
      TearDownTestSuite();
      return;
    }
    // The program under test finds the desktop, the bus and the sound server through these.
    for (const auto& [name, value] : desktop->clientEnvironment("/nonexistent")) {
      if (name != "XDG_STATE_HOME") variables.emplace_back(std::make_unique<ScopedEnvironmentVariable>(name, value.value_or("")));
    }
    variables.emplace_back(std::make_unique<ScopedEnvironmentVariable>("PULSE_SERVER", sound->server()));
  }
  static void TearDownTestSuite() {
    variables.clear();
    desktop.reset();
    sound.reset();
  }
  void SetUp() override {
    if (!desktop) GTEST_SKIP() << "no headless Wayland desktop: " << startError;
    desktop->resetChooser();
    desktop->showScene(WaylandDesktop::Scene::flashing);
  }

  std::string videoRequest(const std::string& name, double duration, bool audio, const std::string& rect) {
    return R"({"kind":"video","destination":")" + (folder / name).string() + R"(","capture_audio":)" +
           (audio ? "true" : "false") + R"(,"duration_seconds":)" + std::to_string(duration) +
           R"(,"exclude_pid":1,"rect":)" + rect + "}";
  }
  std::filesystem::path tokenFile() const { return folder / "state" / "rezoro" / "screencast-restore-token"; }

  static std::unique_ptr<WaylandDesktop> desktop;
  static std::unique_ptr<testing::VirtualSoundServer> sound;
  static std::string startError;
  static std::vector<std::unique_ptr<ScopedEnvironmentVariable>> variables;
  testing::TempDir folder;
  // Each test starts without a stored grant.
  ScopedEnvironmentVariable stateHome{"XDG_STATE_HOME", (folder / "state").string()};
};

std::unique_ptr<WaylandDesktop> WaylandRecordingTest::desktop;
std::unique_ptr<testing::VirtualSoundServer> WaylandRecordingTest::sound;
std::string WaylandRecordingTest::startError;
std::vector<std::unique_ptr<ScopedEnvironmentVariable>> WaylandRecordingTest::variables;

// Recordings with sound, from PulseAudio and from PipeWire's pulse server.
class WaylandSoundRecordingTest : public WaylandRecordingTest,
                                  public ::testing::WithParamInterface<testing::SoundServerKind> {
 protected:
  void SetUp() override {
    WaylandRecordingTest::SetUp();
    if (IsSkipped()) return;
    server_ = testing::VirtualSoundServer::start(true, GetParam());
    serverVariable_.emplace("PULSE_SERVER", server_->server());
  }
  std::unique_ptr<testing::VirtualSoundServer> server_;
  std::optional<ScopedEnvironmentVariable> serverVariable_;
};
INSTANTIATE_TEST_SUITE_P(Servers, WaylandSoundRecordingTest, ::testing::ValuesIn(testing::kSoundServerKinds),
                         testing::SoundServerParameterName());

TEST_P(WaylandSoundRecordingTest, ARegionOfAnAnimatedOutputIsRecordedAtTwentyFourFramesWithTheTone) {
  testing::ChildProcess tone = server_->playTone(1000, 6, 0.5);
  std::this_thread::sleep_for(300ms);
  // Half background (green), half the flashing window, which starts at (320,180).
  RecordingProcess recording(folder.path(), videoRequest("clip.mp4", 3, true, "[160,90,640,360]"));
  ASSERT_EQ(recording.wait(), 0) << recording.error();
  EXPECT_EQ(recording.error(), "");  // nothing of the libraries' own
  const Json result = recording.result();
  EXPECT_EQ(result["width"], 640);
  EXPECT_EQ(result["height"], 360);
  EXPECT_NEAR(result["duration_seconds"].get<double>(), 3.0, 0.25);
  // 24 fps is 72; the compositor sends at most 30 a second, fewer on a busy machine.
  EXPECT_GE(result["video_frames"].get<int64_t>(), 60);
  EXPECT_LE(result["video_frames"].get<int64_t>(), 73);
  std::cout << "video_frames " << result["video_frames"] << ", dropped " << result["dropped_frames"] << "\n";

  const auto file = folder / "clip.mp4";
  const auto video = testing::probeStream(file, "v:0", "width,height,nb_read_frames,duration");
  EXPECT_EQ(video.at("width"), "640");
  EXPECT_NEAR(std::stod(video.at("duration")), 3.0, 0.25);
  const Rgb background = pixelAt(file, 1.5, 40, 30, 640);
  EXPECT_TRUE(background.g > 200 && background.r < 60 && background.b < 60)
      << background.r << "," << background.g << "," << background.b;
  const Rgb window = pixelAt(file, 1.5, 400, 250, 640);
  EXPECT_TRUE((window.r > 180 || window.b > 180) && window.g < 60) << window.r << "," << window.g << "," << window.b;

  const std::vector<float> audio = testing::decodedAudio(file);
  ASSERT_GT(audio.size(), 48000u * 2);
  const size_t from = audio.size() / 2, to = audio.size();
  EXPECT_GT(testing::rms(audio, from, to), 0.2);
  EXPECT_GT(testing::power(audio, from, to, 1000), 100 * testing::power(audio, from, to, 1500));
}

// Two marker squares on a dark screen of 1600 × 1200 pixels, at pixel places that lie inside the
// region [100, 100, 400, 300] at every scale tried.
constexpr int kScaledWidth = 1600, kScaledHeight = 1200;
struct Marker {
  Rgb colour;
  const char* name;
  int x, y, side;
};
constexpr Marker kMarkers[] = {{{255, 0, 0}, "red", 260, 240, 80}, {{0, 0, 255}, "blue", 400, 300, 80}};

// Recordings of a scaled output: the small output becomes 1600 × 1200 pixels at the parameter's
// scale, showing the markers, and the chooser grants it.
class WaylandScaledOutputTest : public WaylandRecordingTest {
 protected:
  void showMarkersAt(double scale) {
    const auto image = folder / "markers.png";
    std::string boxes;
    for (const Marker& marker : kMarkers) {
      boxes += std::string(boxes.empty() ? "" : ",") + "drawbox=x=" + std::to_string(marker.x) +
               ":y=" + std::to_string(marker.y) + ":w=" + std::to_string(marker.side) + ":h=" +
               std::to_string(marker.side) + ":color=" + marker.name + ":t=fill";
    }
    testing::commandOutput("ffmpeg -v error -f lavfi -i color=c=0x303030:s=" + std::to_string(kScaledWidth) + "x" +
                           std::to_string(kScaledHeight) + " -vf " + boxes + " -frames:v 1 -y '" + image.string() + "'");
    ASSERT_TRUE(std::filesystem::exists(image));
    desktop->setSmallOutput(kScaledWidth, kScaledHeight, scale, image);
    desktop->choose({WaylandDesktop::kSmallOutputName});
  }
  void TearDown() override {
    if (desktop) desktop->resetSmallOutput();
  }

  // What the small output shows once every marker is drawn (a busy machine draws the new
  // background a while after the output changed).
  Picture shownScreen() {
    const auto png = folder / "screen.png";
    Picture screen;
    for (int attempt = 0; attempt < 50; ++attempt) {
      std::filesystem::remove(png);
      desktop->screenshot(WaylandDesktop::kSmallOutputName, png);
      screen = decodedPicture(png);
      if (screen.width == kScaledWidth && std::all_of(std::begin(kMarkers), std::end(kMarkers), [&](const Marker& marker) {
            const Box box = boxOf(screen, marker.colour);
            return box.right - box.left >= marker.side - 2 && box.bottom - box.top >= marker.side - 2;
          })) {
        break;
      }
      std::this_thread::sleep_for(200ms);
    }
    return screen;
  }

  // The markers of `file` lie where the screenshot `screen` showed them, each edge within 2
  // pixels, once the screen's pixels from `origin` (in the screen's pixels) are scaled to the file's size
  // at `factor` file pixels per screen pixel.
  void expectMarkersWhereShown(const Picture& screen, const Picture& file, double originX, double originY,
                               double factor) {
    for (const Marker& marker : kMarkers) {
      const Box shown = boxOf(screen, marker.colour);
      ASSERT_GT(shown.right, shown.left) << marker.name << " is not on the screen";
      testing::expectWhereShown(shown, boxOf(file, marker.colour), originX, originY, factor, marker.name);
    }
  }
};

struct ScaleCase {
  double scale;
  int width, height;  // of the file for [100, 100, 400, 300] on the output
};
void PrintTo(const ScaleCase& scale, std::ostream* out) {
  *out << "scale " << scale.scale << ", " << scale.width << "x" << scale.height;
}
class WaylandScaleTest : public WaylandScaledOutputTest, public ::testing::WithParamInterface<ScaleCase> {};
INSTANTIATE_TEST_SUITE_P(Scales, WaylandScaleTest,
                         ::testing::Values(ScaleCase{1, 400, 300}, ScaleCase{2, 800, 600}, ScaleCase{1.5, 600, 450},
                                           ScaleCase{1.25, 500, 374}),
                         [](const auto& info) { return "Scale" + std::to_string(int(info.param.scale * 100)); });

TEST_P(WaylandScaleTest, ARegionIsRecordedAtTheOutputsOwnDensityWhereTheScreenShowedItCursorIncluded) {
  const ScaleCase scale = GetParam();
  showMarkersAt(scale.scale);
  // The compositor rounds the output's logical size down to whole points.
  const double pixelsPerPoint = kScaledWidth / std::floor(kScaledWidth / scale.scale);
  // The pointer rests inside the region, clear of the markers, at (440, 150) points of the output.
  const double pointerX = 440, pointerY = 150;
  testing::ChildProcess pointer = desktop->holdPointerAt(WaylandDesktop::kWidth + pointerX, pointerY);
  const Picture screen = shownScreen();
  // The region, in the desktop's points: 100 points into the output, which starts at x 1280.
  const std::string rect = "[" + std::to_string(WaylandDesktop::kWidth + 100) + ",100,400,300]";
  RecordingProcess recording(folder.path(), videoRequest("scaled.mp4", 1.5, false, rect));
  ASSERT_EQ(recording.wait(), 0) << recording.error();
  EXPECT_EQ(recording.result()["width"], scale.width);
  EXPECT_EQ(recording.result()["height"], scale.height);

  const double origin = 100 * pixelsPerPoint, factor = scale.width / (400 * pixelsPerPoint);
  const Picture file = decodedPicture(folder / "scaled.mp4", 1.0);
  ASSERT_EQ(file.width, scale.width);
  ASSERT_EQ(file.height, scale.height);
  expectMarkersWhereShown(screen, file, origin, origin, factor);

  // The cursor, drawn in by the portal, where the screen showed it.
  testing::expectCursorAtPointer(screen, {{"the file", file}}, pointerX * pixelsPerPoint, pointerY * pixelsPerPoint,
                                 pixelsPerPoint, origin, origin, factor);
}

TEST_F(WaylandScaledOutputTest, EachOutputOfAMixedDesktopIsRecordedAtItsOwnDensity) {
  showMarkersAt(2);
  const Picture screen = shownScreen();
  // Straddling the two: the part on the streamed output (scale 2), 300 × 300 points, is kept.
  const std::string rect = "[" + std::to_string(WaylandDesktop::kWidth - 100) + ",100,400,300]";
  RecordingProcess straddling(folder.path(), videoRequest("straddling.mp4", 1.5, false, rect));
  ASSERT_EQ(straddling.wait(), 0) << straddling.error();
  const Picture file = decodedPicture(folder / "straddling.mp4", 1.0);
  EXPECT_EQ(file.width, 600);
  EXPECT_EQ(file.height, 600);
  expectMarkersWhereShown(screen, file, 0, 200, 1.0);

  // A region of the large output at scale 1 beside it: point for pixel.
  desktop->choose({WaylandDesktop::kOutputName});
  RecordingProcess large(folder.path(), videoRequest("large.mp4", 1.5, false, "[160,90,640,360]"));
  ASSERT_EQ(large.wait(), 0) << large.error();
  EXPECT_EQ(large.result()["width"], 640);
  EXPECT_EQ(large.result()["height"], 360);
  const Rgb background = pixelAt(folder / "large.mp4", 1.0, 40, 30, 640);
  EXPECT_TRUE(background.g > 200 && background.r < 60 && background.b < 60)
      << background.r << "," << background.g << "," << background.b;
}

TEST_F(WaylandRecordingTest, AStillScreenStillGivesTheFullLength) {
  desktop->showScene(WaylandDesktop::Scene::still);
  RecordingProcess recording(folder.path(), videoRequest("still.mp4", 3, false, "[320,180,640,360]"));
  ASSERT_EQ(recording.wait(), 0) << recording.error();
  const Json result = recording.result();
  EXPECT_NEAR(result["duration_seconds"].get<double>(), 3.0, 0.25);
  EXPECT_LT(result["video_frames"].get<int64_t>(), 10);
  const auto video = testing::probeStream(folder / "still.mp4", "v:0", "duration");
  EXPECT_NEAR(std::stod(video.at("duration")), 3.0, 0.25);
  const Rgb window = pixelAt(folder / "still.mp4", 2.5, 320, 180, 640);
  EXPECT_TRUE(window.b > 180 && window.r < 60 && window.g < 60) << window.r << "," << window.g << "," << window.b;
}

TEST_F(WaylandRecordingTest, AScreenStillSinceTheLastCastGivesItsFirstPictureAllTheSame) {
  // Nothing changes on the small output: the portal backend sends no picture after its first cast.
  desktop->choose({WaylandDesktop::kSmallOutputName});
  for (const std::string name : {"first.mp4", "second.mp4"}) {
    RecordingProcess recording(folder.path(), videoRequest(name, 1.5, false, "[1300,20,320,240]"));
    ASSERT_EQ(recording.wait(), 0) << name << ": " << recording.error();
    const Rgb shown = pixelAt(folder / name, 1.0, 160, 120, 320);
    EXPECT_TRUE(shown.r > 200 && shown.g < 60 && shown.b > 200) << name << ": " << shown.r << "," << shown.g << "," << shown.b;
    // The file starts at its first picture, a moment after the start.
    EXPECT_NEAR(recording.result()["duration_seconds"].get<double>(), 1.4, 0.2) << name;
  }
}

TEST_F(WaylandRecordingTest, TheGrantIsKeptPrivatelyAndSparesTheNextQuestion) {
  RecordingProcess first(folder.path(), videoRequest("first.mp4", 1, false, "[0,0,320,240]"));
  ASSERT_EQ(first.wait(), 0) << first.error();
  struct stat status {};
  ASSERT_EQ(::stat(tokenFile().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  const std::string token = testing::readWholeFile(tokenFile());
  EXPECT_GT(token.size(), 8u);
  EXPECT_NE(testing::commandOutput(testing::kProgram + " --probe").find("\"screen_permission\":true"), std::string::npos);

  // The chooser now declines; the stored token answers instead of it.
  desktop->refuse(true);
  RecordingProcess second(folder.path(), videoRequest("second.mp4", 1, false, "[0,0,320,240]"));
  ASSERT_EQ(second.wait(), 0) << second.error();
  EXPECT_GT(std::filesystem::file_size(folder / "second.mp4"), 1000u);
  EXPECT_NE(desktop->portalBackendLog().find("restore_data"), std::string::npos);
}

TEST_F(WaylandRecordingTest, ADeclinedRequestIsPermissionDeniedAndNoPortalFailsToStart) {
  desktop->refuse(true);
  RecordingProcess declined(folder.path(), videoRequest("declined.mp4", 1, false, "[0,0,320,240]"));
  EXPECT_EQ(declined.wait(), 1);
  EXPECT_EQ(Json::parse(declined.error())["error_code"], "permission_denied");
  EXPECT_FALSE(std::filesystem::exists(folder / "declined.mp4"));
  EXPECT_FALSE(std::filesystem::exists(tokenFile()));

  const std::string probe = testing::commandOutput(testing::kProgram + " --probe");
  EXPECT_NE(probe.find("\"screen_permission\":false,\"supported\":true"), std::string::npos) << probe;

  ScopedEnvironmentVariable noBus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder / "no-bus").string());
  RecordingProcess unreachable(folder.path(), videoRequest("unreachable.mp4", 1, false, "[0,0,320,240]"));
  EXPECT_EQ(unreachable.wait(), 1);
  EXPECT_EQ(Json::parse(unreachable.error())["error_code"], "start_failed");
  EXPECT_NE(testing::commandOutput(testing::kProgram + " --probe").find("\"supported\":false"), std::string::npos);
}

TEST_F(WaylandRecordingTest, AMonitorChosenWithoutTheRegionIsNoDisplayAndNotRememberedSoTheNextIsAsked) {
  // The region lies on the large monitor only; the person picks the small one.
  desktop->choose({WaylandDesktop::kSmallOutputName, WaylandDesktop::kOutputName});
  const int dialogs = desktop->dialogsShown();
  RecordingProcess wrong(folder.path(), videoRequest("wrong.mp4", 1, false, "[800,400,320,240]"));
  EXPECT_EQ(wrong.wait(), 1);
  EXPECT_EQ(Json::parse(wrong.error())["error_code"], "no_display");
  EXPECT_FALSE(std::filesystem::exists(tokenFile()));
  EXPECT_EQ(desktop->dialogsShown(), dialogs + 1);

  RecordingProcess next(folder.path(), videoRequest("next.mp4", 1, false, "[800,400,320,240]"));
  ASSERT_EQ(next.wait(), 0) << next.error();
  EXPECT_EQ(desktop->dialogsShown(), dialogs + 2);
  EXPECT_TRUE(std::filesystem::exists(tokenFile()));
}

TEST_F(WaylandRecordingTest, ARestoredMonitorWithoutTheRegionIsForgottenAndAskedForOnceMore) {
  desktop->choose({WaylandDesktop::kSmallOutputName, WaylandDesktop::kOutputName});
  const int dialogs = desktop->dialogsShown();
  // The small monitor lies right of the large one, at x 1280.
  RecordingProcess small(folder.path(), videoRequest("small.mp4", 1, false, "[1300,20,320,240]"));
  ASSERT_EQ(small.wait(), 0) << small.error();
  const std::string smallToken = testing::readWholeFile(tokenFile());

  // The small monitor is restored without a dialog, does not hold the region, and the one new
  // dialog gives the large one.
  RecordingProcess large(folder.path(), videoRequest("large.mp4", 1, false, "[800,400,320,240]"));
  ASSERT_EQ(large.wait(), 0) << large.error();
  EXPECT_EQ(desktop->dialogsShown(), dialogs + 2);
  EXPECT_NE(testing::readWholeFile(tokenFile()), smallToken);

  // Remembered now: the next recording asks nobody.
  desktop->refuse(true);
  RecordingProcess again(folder.path(), videoRequest("again.mp4", 1, false, "[800,400,320,240]"));
  ASSERT_EQ(again.wait(), 0) << again.error();
  EXPECT_EQ(desktop->dialogsShown(), dialogs + 2);
}

TEST_F(WaylandRecordingTest, APersonWhoTakesLongerThanTheStartTimeOutInTheDialogGetsTheRecording) {
  desktop->answerAfter(15);
  const auto started = std::chrono::steady_clock::now();
  RecordingProcess recording(folder.path(), videoRequest("slow.mp4", 1, false, "[0,0,320,240]"));
  ASSERT_EQ(recording.wait(40s), 0) << recording.error();
  EXPECT_GT(std::chrono::steady_clock::now() - started, 15s);
  EXPECT_GT(std::filesystem::file_size(folder / "slow.mp4"), 1000u);
}

TEST_F(WaylandRecordingTest, TheLastChangeOfABurstIsWhatTheFileEndsWith) {
  desktop->showScene(WaylandDesktop::Scene::bursts);
  // capture_burst_bench runs many more of these.
  for (const std::string last : {"ff0000", "ffff00", "00ffff"}) {
    const testing::BurstOutcome outcome = testing::recordBurst(*desktop, folder.path(), last, "burst-" + last + ".mp4");
    ASSERT_TRUE(outcome.recorded) << outcome.detail;
    EXPECT_TRUE(outcome.lastColourKept) << outcome.detail;
  }
}

TEST_F(WaylandRecordingTest, TheDesktopEndingTheCastEndsTheRecordingWithItsFile) {
  RecordingProcess recording(folder.path(), videoRequest("ended.mp4", 10, false, "[0,0,320,240]"));
  std::this_thread::sleep_for(2500ms);
  desktop->endCast();  // the person's "stop sharing"
  ASSERT_EQ(recording.wait(5s), 0) << recording.error();
  const double duration = recording.result()["duration_seconds"].get<double>();
  EXPECT_GT(duration, 0.5);
  EXPECT_LT(duration, 8.0);
  EXPECT_GT(std::filesystem::file_size(folder / "ended.mp4"), 1000u);
}

TEST_F(WaylandRecordingTest, EveryStopControlEndsTheRecordingWithItsFile) {
  // The portal's handshake takes about a second of it.
  testing::expectEveryStopControlToPublish(
      folder.path(),
      [this](const std::string& name, double duration) { return videoRequest(name, duration, false, "[0,0,320,240]"); },
      2500ms);
}

TEST_F(WaylandRecordingTest, LosingTheCastMidwayIsRecordingFailedWithoutAFile) {
  RecordingProcess recording(folder.path(), videoRequest("lost.mp4", 10, false, "[0,0,320,240]"));
  std::this_thread::sleep_for(2s);
  desktop->stopPortalBackend();  // its PipeWire node goes, and the portal closes the session
  const int status = recording.wait(8s);
  desktop->startPortalBackend();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Json::parse(recording.error())["error_code"], "recording_failed");
  EXPECT_FALSE(std::filesystem::exists(folder / "lost.mp4"));
}

}  // namespace
}  // namespace rezoro::capture
