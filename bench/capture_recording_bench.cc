// Whole recordings of a full, animated screen with system audio: rezoro-capture beside ffmpeg's own
// x11grab + pulse capture of the same screen, in the same run.
//
//   capture_recording_bench [seconds, default 10] [WxH ...] [--baseline=PROGRAM]
//                                                   (default sizes: 1920x1080 3840x2160)
//
// For each size it starts a private Xvfb of that size and a private PulseAudio, covers the screen
// with a window redrawn every 20 ms, plays a tone, and records the whole screen. Printed per run:
// frames in the file ÷ its duration (ffprobe), dropped_frames from the result (rezoro-capture), the
// recorder's CPU (user + system of that child, by wait4) ÷ its wall time, and the wall time from
// start to exit. "distinct" counts frames that differ from the previous one (ffmpeg's x11grab keeps
// 24 fps by repeating pictures when it falls behind; rezoro-capture writes only changed frames).
// Then rezoro-capture alone on a mostly still screen (a 320x240 animated window), with its CPU as a
// share of the full-screen run's. Last, per size, a 3 s recording with sound of a mark window: the
// start latency (program start to the first frame captured, read from the window's time code in
// the movie's first frame) and the offset between a flash and a click played at one instant.
// --baseline names another build of rezoro-capture (an earlier version) to run beside this one.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/sync_marks.h"
#include "common/json_line.h"

namespace {

using namespace rezoro::capture::testing;
using rezoro::Json;

const std::string kBinDir = [] {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::filesystem::path(std::string(path, static_cast<size_t>(length))).parent_path().string()
                    : std::string(".");
}();

const std::string kProgram = kBinDir + "/rezoro-capture";

struct Run {
  int status = -1;
  double wallSeconds = 0;
  double cpuSeconds = 0;
};

// Runs argv with stdin from `input` (or /dev/null), stdout and stderr to files, and measures it.
Run measured(const std::vector<std::string>& argv, const std::filesystem::path& out,
             const std::filesystem::path& err) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int input = ::open("/dev/null", O_RDONLY);
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The recorder stops at the end of its input, so it gets a pipe that stays open instead.
    int keep[2];
    if (argv[0].find("rezoro-capture") != std::string::npos && ::pipe(keep) == 0) {
      ::dup2(keep[0], 0);
    } else {
      ::dup2(input, 0);
    }
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  Run run;
  run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Frames of the first video stream and their duration.
std::pair<double, double> videoFramesAndSeconds(const std::filesystem::path& file) {
  std::istringstream values(commandOutput(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames,duration "
      "-of default=nw=1:nk=1 '" + file.string() + "'"));
  double frames = 0, seconds = 0;
  std::string line;
  if (std::getline(values, line)) seconds = std::atof(line.c_str());
  if (std::getline(values, line)) frames = std::atof(line.c_str());
  return {frames, seconds};
}

// Frames that differ from the one before: a capture that falls behind repeats pictures to keep its
// frame rate, which the plain count hides.
int distinctFrames(const std::filesystem::path& file) {
  const std::string log = commandOutput("ffmpeg -v info -nostats -i '" + file.string() +
                                        "' -map 0:v:0 -vf mpdecimate=max=0:hi=64:lo=64:frac=0 -f null - 2>&1");
  const auto at = log.rfind("frame=");
  return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + 6);
}

// Records `rect` for `seconds` with sound; returns the run and the result's dropped_frames.
std::pair<Run, std::string> record(const std::string& program, const TemporaryFolder& folder,
                                   const std::filesystem::path& movie, double seconds, const std::string& rect) {
  std::ofstream(folder.path() / "request.json")
      << R"({"kind":"video","destination":")" << movie.string()
      << R"(","capture_audio":true,"duration_seconds":)" << seconds << R"(,"exclude_pid":1,"rect":)" << rect << "}";
  const Run run = measured({program, "--record", (folder.path() / "request.json").string()},
                           folder.path() / "rezoro.out", folder.path() / "rezoro.err");
  std::string dropped = "?";
  try {
    dropped = std::to_string(Json::parse(readWholeFile(folder.path() / "rezoro.out"))["dropped_frames"].get<int64_t>());
  } catch (...) {
    std::printf("  rezoro-capture said: %s\n", readWholeFile(folder.path() / "rezoro.err").c_str());
  }
  return {run, dropped};
}

// A 3 s recording with sound of a mark window; the flash and the click come 1.8 s in.
void startAndSync(const std::string& program, const VirtualSoundServer& sound, const TemporaryFolder& folder) {
  const auto movie = folder.path() / "marks.mp4";
  std::filesystem::remove(movie);
  MarkWindow marks(100, 100, 320, 180, monotonicSeconds());
  ClickPlayer clicks(sound.server());
  std::thread flash([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1800));
    const double at = monotonicSeconds() + 0.1;
    clicks.clickAt(at);
    marks.flashAt(at);
  });
  const auto [run, dropped] = record(program, folder, movie, 3, "[100,100,320,180]");
  flash.join();
  const SyncMarks found = syncMarks(movie);
  std::printf("  %s: start latency %5.0f ms (program start to the first frame captured; goal <= 300)  "
              "A/V offset %+5.1f ms (click - flash; goal |offset| <= 42)  exit %d\n",
              program == kProgram ? "rezoro-capture" : "baseline", found.firstFrameCaptured.value_or(NAN) * 1000,
              found.offset().value_or(NAN) * 1000, run.status);
  std::fflush(stdout);
}

void report(const std::string& name, const Run& run, const std::filesystem::path& file, const std::string& dropped) {
  const auto [frames, seconds] = videoFramesAndSeconds(file);
  const int distinct = distinctFrames(file);
  std::printf("  %-32s exit %d  frames %4.0f (distinct %4d)  file %5.2f s  fps %4.1f (distinct %4.1f)  dropped %-4s  "
              "cpu %3.0f%% of a core  wall %4.1f s\n",
              name.c_str(), run.status, frames, distinct, seconds, seconds > 0 ? frames / seconds : 0.0,
              seconds > 0 ? distinct / seconds : 0.0, dropped.c_str(), 100 * run.cpuSeconds / run.wallSeconds,
              run.wallSeconds);
  std::fflush(stdout);
}

void benchmark(int width, int height, double seconds, const std::string& baseline) {
  std::printf("%dx%d, %.0f s, animated full screen with a tone\n", width, height, seconds);
  std::fflush(stdout);
  auto display = VirtualDisplay::start(width, height);
  ScopedEnvironmentVariable displayVariable("DISPLAY", display->name());
  auto sound = VirtualSoundServer::start();
  ScopedEnvironmentVariable soundVariable("PULSE_SERVER", sound->server());
  AnimatedWindow window(0, 0, width, height);
  window.setAnimating(true);
  TemporaryFolder folder;
  const std::string size = std::to_string(width) + "x" + std::to_string(height);

  const std::string whole = "[0,0," + std::to_string(width) + "," + std::to_string(height) + "]";
  std::vector<std::pair<std::string, std::string>> programs = {{"rezoro-capture", kProgram}};
  if (!baseline.empty()) programs.emplace_back("baseline", baseline);
  std::vector<double> fullCpu;
  for (const auto& [name, program] : programs) {
    ChildProcess tone = sound->playTone(1000, seconds + 4, 0.3);
    const auto movie = folder.path() / (name + ".mp4");
    const auto [run, dropped] = record(program, folder, movie, seconds, whole);
    fullCpu.push_back(run.cpuSeconds / run.wallSeconds);
    report(name, run, movie, dropped);
  }
  std::vector<std::string> presets = {width * height <= 1920 * 1200 ? "veryfast" : "ultrafast"};
  if (presets[0] != "veryfast") presets.push_back("veryfast");
  for (const std::string& preset : presets) {
    ChildProcess tone = sound->playTone(1000, seconds + 4, 0.3);
    const auto movie = folder.path() / ("ffmpeg-" + preset + ".mp4");
    const Run run = measured({"ffmpeg", "-nostdin", "-y", "-f", "pulse", "-i", std::string(VirtualSoundServer::kSinkName) + ".monitor",
                              "-f", "x11grab", "-framerate", "24", "-video_size", size, "-i", display->name(),
                              "-c:v", "libx264", "-preset", preset, "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a",
                              "192k", "-t", std::to_string(seconds), movie.string()},
                             folder.path() / "ffmpeg.out", folder.path() / "ffmpeg.err");
    report("ffmpeg x11grab+pulse " + preset, run, movie, "-");
  }

  window.setAnimating(false);
  window.fill(0x204080);
  {
    AnimatedWindow small(width / 2, height / 2, 320, 240);
    small.setAnimating(true);
    for (size_t i = 0; i < programs.size(); ++i) {
      const auto& [name, program] = programs[i];
      ChildProcess tone = sound->playTone(1000, seconds + 4, 0.3);
      const auto movie = folder.path() / (name + "-still.mp4");
      const auto [run, dropped] = record(program, folder, movie, seconds, whole);
      report(name + ", still but 320x240", run, movie, dropped);
      std::printf("  %s: still screen CPU / full-screen animation CPU: %.2f (goal <= 0.20)\n", name.c_str(),
                  run.cpuSeconds / run.wallSeconds / fullCpu[i]);
    }
  }
  for (const auto& [name, program] : programs) startAndSync(program, *sound, folder);
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away (| head) must not kill the run before it has stopped its servers.
  ::signal(SIGPIPE, SIG_IGN);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
  std::vector<std::pair<int, int>> sizes;
  std::string baseline;
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    int width = 0, height = 0;
    if (argument.rfind("--baseline=", 0) == 0) {
      baseline = argument.substr(11);
    } else if (std::sscanf(argv[i], "%dx%d", &width, &height) == 2) {
      sizes.emplace_back(width, height);
    }
  }
  if (sizes.empty()) sizes = {{1920, 1080}, {3840, 2160}};
  for (const auto& [width, height] : sizes) benchmark(width, height, seconds, baseline);
  return 0;
}
