// Prints what the Linux capture stream costs: time per screen grab (SHM grab, cursor, scaling),
// delivered frame rate and CPU use of this process and of the X server while the whole area
// changes all the time, and how soon audio arrives after a start. Starts its own Xvfb and
// PulseAudio.  Run: build/bin/capture_stream_bench [seconds per case, default 5]

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "capture/platform/pulse/system_audio_stream.h"
#include "capture/platform/x11/x11_capture_stream.h"
#include "capture/testing/display_and_sound.h"

using namespace rezoro::capture;

namespace {

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double childCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Sink : StreamOutput, StreamDelegate {
  std::promise<double> firstAudio;
  bool audioSeen = false;
  void didOutputSampleBuffer(const SampleBuffer&, StreamOutputType type) override {
    if (type == StreamOutputType::audio && !audioSeen) {
      audioSeen = true;
      firstAudio.set_value(hostTimeSeconds());
    }
  }
  void didStopWithError(const PlatformError& error) override {
    std::fprintf(stderr, "stream failed: %s\n", error.message.c_str());
  }
};

bool call(CaptureStream& stream, bool start) {
  std::promise<bool> done;
  auto answer = [&](std::optional<PlatformError> error) {
    if (error) std::fprintf(stderr, "%s\n", error->message.c_str());
    done.set_value(!error);
  };
  if (start) stream.startCapture(answer);
  else stream.stopCapture(answer);
  return done.get_future().get();
}

// Which application the stream leaves out: none, one without windows, or one with a 640 × 360
// window in the middle of the screen (animated_window, beside this program).
enum class Excluded { none, offScreen, window };

void screenCase(const char* name, int screenWidth, int screenHeight, int outWidth, int outHeight,
                double seconds, Excluded excluded = Excluded::none) {
  auto display = testing::VirtualDisplay::start(screenWidth, screenHeight);
  testing::ScopedEnvironmentVariable variable("DISPLAY", display->name());
  testing::AnimatedWindow window(0, 0, screenWidth, screenHeight);
  window.setAnimating(true);
  testing::ChildProcess application;
  std::vector<ShareableApplication> left;
  if (excluded == Excluded::offScreen) application = testing::ChildProcess::start({"sleep", "600"});
  if (excluded == Excluded::window) {
    const auto tool = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "animated_window";
    application = testing::ChildProcess::start({tool.string(), std::to_string(screenWidth / 2 - 320),
                                                std::to_string(screenHeight / 2 - 180), "640", "360", "600",
                                                "--colour", "E02020"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  if (excluded != Excluded::none) left.push_back(ShareableApplication{application.pid(), "excluded"});
  SerialQueue queue;
  auto sink = std::make_shared<Sink>();
  StreamConfiguration configuration;
  configuration.width = outWidth;
  configuration.height = outHeight;
  configuration.minimumFrameInterval = MediaTime::make(1, 24);
  configuration.queueDepth = 3;
  ShareableDisplay shareable{1, {0, 0, double(screenWidth), double(screenHeight)}, 1.0, "bench"};
  X11CaptureStream stream(ContentFilter(shareable, left), configuration, sink);
  stream.addStreamOutput(sink, StreamOutputType::screen, queue);
  if (!call(stream, true)) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const CaptureStatistics before = stream.statistics();
  const double cpu0 = processCpuSeconds(), server0 = childCpuSeconds(display->pid()), wall0 = hostTimeSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const CaptureStatistics after = stream.statistics();
  const double wall = hostTimeSeconds() - wall0;
  const double cpu = processCpuSeconds() - cpu0, server = childCpuSeconds(display->pid()) - server0;
  call(stream, false);
  const auto frames = after.completeFrames - before.completeFrames;
  std::printf("%-28s grab+cursor+scale %6.2f ms/frame  %5.1f fps  skipped %lld  CPU: ours %4.0f%%  X server %4.0f%% of a core\n",
              name, 1000 * (after.grabSeconds - before.grabSeconds) / double(std::max<int64_t>(frames, 1)),
              double(frames) / wall, static_cast<long long>(after.skippedFrames - before.skippedFrames),
              100 * cpu / wall, 100 * server / wall);
}

void audioCase(bool keepSinkAwake) {
  auto sound = testing::VirtualSoundServer::start(keepSinkAwake);
  testing::ScopedEnvironmentVariable variable("PULSE_SERVER", sound->server());
  SerialQueue queue;
  auto sink = std::make_shared<Sink>();
  StreamConfiguration configuration;
  configuration.capturesAudio = true;
  SystemAudioStream stream(ContentFilter(ShareableDisplay{}, {}), configuration, sink);
  stream.addStreamOutput(sink, StreamOutputType::audio, queue);
  auto first = sink->firstAudio.get_future();
  const double asked = hostTimeSeconds();
  if (!call(stream, true)) return;
  const double answered = hostTimeSeconds();
  if (first.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    std::printf("audio: nothing within 10 s\n");
    return;
  }
  std::printf("audio (%s): start answered after %5.1f ms, first buffer after %6.1f ms\n",
              keepSinkAwake ? "sink awake, like hardware/PipeWire" : "fresh null sink", 1000 * (answered - asked),
              1000 * (first.get() - asked));
  call(stream, false);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  screenCase("1080p -> 1080p", 1920, 1080, 1920, 1080, seconds);
  screenCase("  excluded app, not shown", 1920, 1080, 1920, 1080, seconds, Excluded::offScreen);
  screenCase("  excluded window shown", 1920, 1080, 1920, 1080, seconds, Excluded::window);
  screenCase("1080p -> 720p", 1920, 1080, 1280, 720, seconds);
  screenCase("4K -> 4K", 3840, 2160, 3840, 2160, seconds);
  audioCase(true);
  audioCase(false);
  return 0;
}
