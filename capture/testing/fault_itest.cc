// The rezoro-capture program on bad days: a frozen X server at each stage, a sound server that dies
// or freezes, a destination that fills up or turns read-only, and stops at random instants. Every
// case ends in exactly one result line, in time, and leaves no hidden temporary file behind.
#include <signal.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/recording_process.h"
#include "capture/testing/stop_race.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;
using testing::RecordingProcess;
using testing::TempDir;

const std::string kProgram = std::string(REZORO_BIN_DIR) + "/rezoro-capture";

// Start and stop time-outs of the recorder, plus the one second the result may take beyond them.
constexpr auto kStartLimit = 12s + 1s;
constexpr auto kStopLimit = 10s + 1s;
// After its result line the program is gone within this.
constexpr auto kExitLimit = 2s;

// Stops a server process for as long as it lives, as a hung server would be.
class Frozen {
 public:
  explicit Frozen(pid_t pid) : pid_(pid) { ::kill(pid_, SIGSTOP); }
  ~Frozen() { ::kill(pid_, SIGCONT); }
  Frozen(const Frozen&) = delete;
  Frozen& operator=(const Frozen&) = delete;

 private:
  pid_t pid_;
};

class CaptureFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { startWorld(testing::SoundServerKind::pulseaudio); }
  void startWorld(testing::SoundServerKind server) {
    try {
      world_ = testing::DisplayAndSound::start({.display = true, .sound = true, .server = server});
    } catch (const std::exception& error) {
      GTEST_SKIP() << "no private display and sound server: " << error.what();
    }
  }
  void TearDown() override {
    if (!std::filesystem::exists(folder.path())) return;
    EXPECT_TRUE(testing::noRecordingTemporaryIn(folder.path()));
  }

  std::string video(const std::filesystem::path& destination, double duration, bool audio = false) const {
    return testing::recordingRequestText("video", destination, duration, audio);
  }

  // Waits for the one result line, which must come within `limit` of `since`, and for the exit
  // that must follow within kExitLimit; returns the line.
  static Json resultWithin(RecordingProcess& recording, RecordingProcess::Clock::time_point since,
                           std::chrono::milliseconds limit) {
    const auto printed = recording.waitForOutput(limit + 5s);
    EXPECT_TRUE(printed.has_value()) << "no result at all";
    if (!printed) return Json();
    EXPECT_LE(*printed - since, limit);
    recording.wait(kExitLimit + 3s);
    EXPECT_TRUE(recording.ended().has_value()) << "still running after its result";
    if (recording.ended()) {
      EXPECT_LE(*recording.ended() - *printed, kExitLimit);
    }
    const std::optional<Json> line = recording.onlyLine();
    EXPECT_TRUE(line.has_value()) << recording.output() << recording.error();
    return line.value_or(Json());
  }

  // A failure that left neither the recording nor a temporary file beside it.
  static void expectNothingSaved(const Json& result, const std::filesystem::path& destination) {
    EXPECT_TRUE(result["error_code"] == "recording_failed" || result["error_code"] == "export_failed") << result;
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_TRUE(testing::noRecordingTemporaryIn(destination.parent_path()));
  }

  // Something moving in the area the requests record.
  void animate() {
    window_.emplace(0, 0, 320, 240);
    window_->setAnimating(true);
  }

  // A video recording of `duration` seconds of an animated window into clip.mp4, `after` into it.
  std::unique_ptr<RecordingProcess> recordingAnimation(double duration, std::chrono::milliseconds after) {
    animate();
    auto recording = std::make_unique<RecordingProcess>(folder.path(), video(folder / "clip.mp4", duration), kProgram);
    std::this_thread::sleep_for(after);
    return recording;
  }

  std::unique_ptr<testing::DisplayAndSound> world_;
  std::optional<testing::AnimatedWindow> window_;
  TempDir folder;
};

TEST_F(CaptureFaultTest, AFrozenDisplayBeforeTheStartGivesOneResultInTime) {
  Frozen frozen(world_->display().pid());
  RecordingProcess recording(folder.path(), video(folder / "clip.mp4", 3), kProgram);
  const Json result = resultWithin(recording, recording.started(), kStartLimit);
  // A server that does not answer has refused nothing: the recording could not start.
  EXPECT_TRUE(result["error_code"] == "start_failed" || result["error_code"] == "timeout") << result;
  EXPECT_FALSE(std::filesystem::exists(folder / "clip.mp4"));
}

TEST_F(CaptureFaultTest, AFrozenDisplayWhileRecordingGivesOneResultInTime) {
  auto recording = recordingAnimation(2, 1s);
  Frozen frozen(world_->display().pid());
  // The duration timer stops it at about 2 s; stopping then waits for the frozen server.
  const Json result = resultWithin(*recording, recording->started(), 2s + kStopLimit + 1s);
  EXPECT_EQ(result["ok"], false);
  EXPECT_FALSE(std::filesystem::exists(folder / "clip.mp4"));
}

TEST_F(CaptureFaultTest, AFrozenDisplayWhileFinishingGivesOneResultInTime) {
  auto recording = recordingAnimation(30, 1500ms);
  recording->write("q\n");
  Frozen frozen(world_->display().pid());
  const auto stopped = RecordingProcess::Clock::now();
  const Json result = resultWithin(*recording, stopped, kStopLimit);
  // Finishing may have been under way already: either result, but only one, and a file only with
  // a success.
  EXPECT_EQ(std::filesystem::exists(folder / "clip.mp4"), result["ok"] == true) << result;
}

// Runs xrandr on the private display; its exit status, or none when it is not installed.
std::optional<int> xrandr(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"xrandr"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  try {
    return testing::ChildProcess::start(argv).wait();
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

TEST_F(CaptureFaultTest, LosingTheRecordedDisplayFailsTheRecording) {
  if (!xrandr({"--listmonitors"})) GTEST_SKIP() << "xrandr (x11-xserver-utils) is not installed";
  animate();
  // The only output is switched off, so the monitor the area was taken from is gone (xrandr fails
  // afterwards on the screen size it cannot set, which does not matter here).
  const std::vector<std::vector<std::string>> losses = {{"--output", "screen", "--off"}, {"--fb", "200x200"}};
  for (const auto& loss : losses) {
    SCOPED_TRACE(loss.front());
    const auto destination = folder / (loss.front().substr(2) + ".mp4");
    RecordingProcess recording(folder.path(), video(destination, 10), kProgram);
    std::this_thread::sleep_for(1500ms);
    const auto lost = RecordingProcess::Clock::now();
    xrandr(loss);
    const Json result = resultWithin(recording, lost, 3s);
    EXPECT_EQ(result["error_code"], "recording_failed");
    EXPECT_FALSE(std::filesystem::exists(destination));
  }
}

// Faults of the sound server, on both servers.
class SoundServerFaultTest : public CaptureFaultTest, public ::testing::WithParamInterface<testing::SoundServerKind> {
 protected:
  void SetUp() override { startWorld(GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(Servers, SoundServerFaultTest, ::testing::ValuesIn(testing::kSoundServerKinds),
                         testing::SoundServerParameterName());

TEST_P(SoundServerFaultTest, ASoundServerThatDiesOrFreezesGivesOneResult) {
  {
    RecordingProcess recording(folder.path(), testing::recordingRequestText("audio", folder / "frozen.wav", 2),
                               kProgram);
    std::this_thread::sleep_for(1s);
    Frozen frozen(world_->sound().pid());
    const Json result = resultWithin(recording, recording.started(), 2s + kStopLimit + 1s);
    EXPECT_EQ(std::filesystem::exists(folder / "frozen.wav"), result["ok"] == true) << result;
  }
  RecordingProcess recording(folder.path(), testing::recordingRequestText("audio", folder / "dead.wav", 5),
                             kProgram);
  std::this_thread::sleep_for(1s);
  world_->sound().kill();
  // Nothing but the result reaches the parent: the sound library's complaints stay unprinted. The
  // server that never comes back leaves silence, and the whole WAV is published.
  const Json result = resultWithin(recording, recording.started(), 5s + kStopLimit + 1s);
  EXPECT_EQ(result["ok"], true) << result;
  EXPECT_NEAR(result.value("duration_seconds", 0.0), 5.0, 0.05) << result;
  EXPECT_TRUE(std::filesystem::exists(folder / "dead.wav"));
}

// A small file system of its own for the destination, unmounted at the end.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::filesystem::path& where, const char* size) : where_(where) {
    std::filesystem::create_directory(where_);
    const std::string options = std::string("size=") + size + ",mode=0777";
    mounted_ = ::mount("tmpfs", where_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    removeReadOnlyView();
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  // Lays a read-only view of the file system over its own mount point, so that everything reached
  // through the path is read-only from now on (files already open stay writable).
  bool turnReadOnly() {
    if (::mount(where_.c_str(), where_.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
    readOnlyView_ = true;
    return ::mount(nullptr, where_.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }
  void removeReadOnlyView() {
    if (std::exchange(readOnlyView_, false)) ::umount2(where_.c_str(), MNT_DETACH);
  }

 private:
  std::filesystem::path where_;
  bool mounted_ = false;
  bool readOnlyView_ = false;
};

TEST_F(CaptureFaultTest, AFullDestinationFailsWithoutLeavingAFile) {
  SmallFileSystem small(folder / "small", "4k");
  if (!small.mounted()) GTEST_SKIP() << "this process may not mount a small tmpfs (needs root)";
  animate();
  for (const std::string kind : {"video", "audio"}) {
    SCOPED_TRACE(kind);
    const auto destination = folder / "small" / (kind == "video" ? "clip.mp4" : "sound.wav");
    RecordingProcess recording(folder.path(), testing::recordingRequestText(kind, destination, 6, false), kProgram);
    expectNothingSaved(resultWithin(recording, recording.started(), 6s + kStopLimit + 1s), destination);
  }
}

TEST_F(CaptureFaultTest, ADestinationTurningReadOnlyFailsWithoutLeavingAFile) {
  SmallFileSystem small(folder / "small", "64m");
  if (!small.mounted()) GTEST_SKIP() << "this process may not mount a small tmpfs (needs root)";
  animate();
  for (const std::string kind : {"video", "audio"}) {
    SCOPED_TRACE(kind);
    const auto destination = folder / "small" / (kind == "video" ? "clip.mp4" : "sound.wav");
    RecordingProcess recording(folder.path(), testing::recordingRequestText(kind, destination, 2), kProgram);
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(small.turnReadOnly());
    const Json result = resultWithin(recording, recording.started(), 2s + kStopLimit + 1s);
    small.removeReadOnlyView();  // what lies beneath must hold nothing either
    expectNothingSaved(result, destination);
  }
}

// A view of a folder through bindfs (FUSE) that stops answering when frozen, as a hung network or
// USB disk does. Thawed and unmounted when released.
class StalledFileSystem {
 public:
  explicit StalledFileSystem(const std::filesystem::path& where)
      : backing_(where.string() + "-backing"), where_(where) {
    std::filesystem::create_directory(backing_);
    std::filesystem::create_directory(where_);
    try {
      server_ = testing::ChildProcess::start({"bindfs", "-f", backing_.string(), where_.string()});
    } catch (const std::runtime_error&) {
      return;
    }
    for (int tries = 0; tries < 100 && !mounted(); ++tries) std::this_thread::sleep_for(20ms);
  }
  ~StalledFileSystem() {
    thaw();
    if (mounted()) testing::ChildProcess::start({"fusermount", "-u", "-z", where_.string()}).wait(5s);
  }
  StalledFileSystem(const StalledFileSystem&) = delete;
  StalledFileSystem& operator=(const StalledFileSystem&) = delete;

  bool mounted() const {
    struct statfs status {};
    constexpr long fuseMagic = 0x65735546;
    return server_.running() && ::statfs(where_.c_str(), &status) == 0 && status.f_type == fuseMagic;
  }
  void freeze() { ::kill(server_.pid(), SIGSTOP); }
  void thaw() {
    if (server_.pid() > 0) ::kill(server_.pid(), SIGCONT);
  }
  // The folder beneath, which answers all along.
  const std::filesystem::path& backing() const { return backing_; }

 private:
  std::filesystem::path backing_;
  std::filesystem::path where_;
  testing::ChildProcess server_;
};

// A video and an audio recording into a file system that stops answering `freezeAfter` into them,
// stopped by "q" `stopAfter` into them, or by their duration when that comes first. Each gives one
// result within the stop time-out of its stop, ends once the file system answers again, and nothing
// appears later.
void recordIntoAStalledFileSystem(const TempDir& folder, double duration, std::chrono::milliseconds freezeAfter,
                                  std::chrono::milliseconds stopAfter) {
  // Declared before the file system, so that it is thawed before they are released: a program
  // stuck closing a file on it could otherwise never be waited for when an assertion ends early.
  std::vector<std::unique_ptr<RecordingProcess>> recordings;
  std::vector<std::filesystem::path> destinations;
  StalledFileSystem stalled(folder / "stalled");
  if (!stalled.mounted()) GTEST_SKIP() << "no bindfs or no FUSE here (needs the bindfs package and /dev/fuse)";
  for (const std::string kind : {"video", "audio"}) {
    std::filesystem::create_directory(folder / kind);
    destinations.push_back(folder / "stalled" / (kind == "video" ? "clip.mp4" : "sound.wav"));
    recordings.push_back(std::make_unique<RecordingProcess>(
        folder / kind, testing::recordingRequestText(kind, destinations.back(), duration, false), kProgram));
  }
  const auto started = recordings.front()->started();
  std::this_thread::sleep_for(freezeAfter);
  stalled.freeze();
  // Stopped by "q" now, or by the duration once started: within a second of the program's start.
  const bool byDuration = std::chrono::duration<double>(stopAfter).count() >= duration;
  if (!byDuration) {
    std::this_thread::sleep_for(stopAfter - freezeAfter);
    for (auto& recording : recordings) recording->write("q\n");
  }
  const auto since = byDuration ? started : RecordingProcess::Clock::now();
  const auto limit = byDuration ? std::chrono::milliseconds(static_cast<int>(duration * 1000)) + 1s + kStopLimit
                                : std::chrono::milliseconds(kStopLimit);
  for (size_t index = 0; index < recordings.size(); ++index) {
    SCOPED_TRACE(destinations[index].filename());
    const auto printed = recordings[index]->waitForOutput(limit + 5s);
    ASSERT_TRUE(printed.has_value()) << "no result at all";
    EXPECT_LE(*printed - since, limit);
  }
  // Closing a file on a file system that does not answer waits in the kernel, at exit too: the
  // programs end once it answers again.
  stalled.thaw();
  const auto thawed = RecordingProcess::Clock::now();
  for (size_t index = 0; index < recordings.size(); ++index) {
    SCOPED_TRACE(destinations[index].filename());
    recordings[index]->wait(kExitLimit + 3s);
    ASSERT_TRUE(recordings[index]->ended().has_value()) << "still running after its result";
    EXPECT_LE(*recordings[index]->ended() - thawed, kExitLimit);
    const std::optional<Json> line = recordings[index]->onlyLine();
    ASSERT_TRUE(line.has_value()) << recordings[index]->output() << recordings[index]->error();
    EXPECT_EQ((*line)["ok"], false) << *line;
  }
  std::this_thread::sleep_for(500ms);  // time for a late publication to show
  for (const auto& destination : destinations) {
    EXPECT_FALSE(std::filesystem::exists(stalled.backing() / destination.filename())) << destination;
  }
}

TEST_F(CaptureFaultTest, ADestinationThatStopsAnsweringWhileRecordingGivesOneResultInTime) {
  animate();
  recordIntoAStalledFileSystem(folder, 2, 1s, 60s);
}

TEST_F(CaptureFaultTest, ADestinationThatStopsAnsweringWhileFinishingGivesOneResultInTime) {
  animate();
  recordIntoAStalledFileSystem(folder, 30, 1s, 1s);
}

TEST_F(CaptureFaultTest, RecordingsStoppedAtRandomInstantsEachGiveOneResult) {
  animate();
  std::mt19937 random(std::random_device{}());
  for (int index = 0; index < 10; ++index) {
    const testing::StopRace race = testing::stopRace(folder.path(), kProgram, index, random);
    EXPECT_EQ(race.problem, "") << race.control << " at " << race.instant << " s"
                                << (race.claimed ? ", name claimed" : "") << ": " << race.result;
  }
}

}  // namespace
}  // namespace rezoro::capture
