// The sound of recordings on both sound servers and with both kinds of player, beside ffmpeg's pulse
// input on the same server in the same run.
//
//   capture_sound_bench [runs per case, default 3]
//   capture_sound_bench steady [runs per server, default 3]
//
// For PulseAudio and for PipeWire (pipewire + wireplumber + pipewire-pulse), each started privately
// with a fresh null sink (nothing else recording, as on a desktop), and for a player asking for
// 20 ms of buffering and one keeping the server's default buffer (about 2 s on PulseAudio), per run:
//   - first sample: how long after the record stream was asked for its first samples came, for
//     rezoro-capture's (a 3 s movie: where its decoded sound starts) and for ffmpeg's pulse input
//     (the first bytes out of `ffmpeg -f pulse`, less its own start-up measured on a source that
//     answers at once);
//   - a 3 s WAV recording: its duration and where in it the tone is heard;
//   - the A/V offset of a flash and a click played at one instant in a movie (goal within 42 ms),
//     and, by the mark window's time codes, how late after that instant the movie has each of
//     them, beside how late the server handed the click to a plain reader of the monitor (its
//     witness, recording at the same time). Where the server itself plays the click late (a
//     PulseAudio sink that has just woken from its sleep), the movie holds it where it was played.
//
// `steady`: on each server, 20 s WAVs of a steady 1 kHz tone (its player buffering 250 ms, so that
// the sink itself plays it unbroken) while two `yes` loops keep both cores busy, beside ffmpeg's
// pulse input recording the sink's monitor at the same time: in each file, the holes (10 ms blocks
// under half the tone's level) and the phase breaks (the tone moving more than 2 frames between
// neighbouring blocks), from 0.3 s after its start to 0.3 s before its end.
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/sync_marks.h"
#include "capture/testing/tone_phase.h"
#include "common/json_line.h"
#include "common/unique_fd.h"

namespace {

using namespace rezoro::capture::testing;
using namespace std::chrono_literals;
using rezoro::Json;
using rezoro::UniqueFd;

const std::string kProgram = [] {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  const std::string self = length > 0 ? std::string(path, static_cast<size_t>(length)) : "./bench";
  return std::filesystem::path(self).parent_path().string() + "/rezoro-capture";
}();

// A plain record stream of the default sink's monitor beside the program's, as the server's own
// witness: when, on the monotonic clock, the server hands the first loud sample to a reader that
// stamps it by its read time less the audio still waiting (a 20 ms fragment asked for, as the
// program asks).
class MonitorWitness {
 public:
  explicit MonitorWitness(const std::string& server) {
    loop_ = pa_threaded_mainloop_new();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "witness");
    pa_threaded_mainloop_start(loop_);
    pa_threaded_mainloop_lock(loop_);
    pa_context_set_state_callback(context_, [](pa_context*, void* loop) {
      pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }, loop_);
    pa_context_connect(context_, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr);
    while (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) && pa_context_get_state(context_) != PA_CONTEXT_READY) {
      pa_threaded_mainloop_wait(loop_);
    }
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, 48000, 2};
    stream_ = pa_stream_new(context_, "witness", &format, nullptr);
    if (stream_ != nullptr) {
      pa_stream_set_read_callback(stream_, [](pa_stream*, size_t, void* self) {
        static_cast<MonitorWitness*>(self)->read(); }, this);
      pa_buffer_attr attributes;
      std::memset(&attributes, 0xff, sizeof attributes);
      attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(20000, &format));
      pa_stream_connect_record(stream_, "@DEFAULT_MONITOR@", &attributes,
                               static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE));
    }
    pa_threaded_mainloop_unlock(loop_);
  }
  ~MonitorWitness() {
    pa_threaded_mainloop_stop(loop_);
    if (stream_ != nullptr) pa_stream_unref(stream_);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
  }
  MonitorWitness(const MonitorWitness&) = delete;
  MonitorWitness& operator=(const MonitorWitness&) = delete;

  // The monotonic time of the first sample louder than 0.3, or NAN.
  double heardAt() {
    pa_threaded_mainloop_lock(loop_);
    const double at = heardAt_;
    pa_threaded_mainloop_unlock(loop_);
    return at;
  }

 private:
  void read() {
    double age = double(pa_stream_readable_size(stream_) / 8) / 48000;
    if (const pa_timing_info* timing = pa_stream_get_timing_info(stream_); timing && !timing->read_index_corrupt) {
      age += std::min(double(timing->source_usec) * 1e-6, 1.0);
    }
    const double first = monotonicSeconds() - age;
    size_t before = 0;
    while (pa_stream_readable_size(stream_) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) break;
      const auto* samples = static_cast<const float*>(data);
      for (size_t i = 0; samples != nullptr && std::isnan(heardAt_) && i < bytes / 8; ++i) {
        if (std::fabs(samples[2 * i]) > 0.3f) heardAt_ = first + double(before + i) / 48000;
      }
      before += bytes / 8;
      pa_stream_drop(stream_);
    }
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  double heardAt_ = NAN;
};

// Runs the program on `request` with standard input held open; its result, or null.
Json record(const TemporaryFolder& folder, const std::string& request) {
  std::ofstream(folder.path() / "request.json") << request;
  int input[2];
  if (::pipe2(input, O_CLOEXEC) != 0) return nullptr;
  UniqueFd readEnd(input[0]), writeEnd(input[1]);
  ChildProcess::Options options;
  options.output = folder.path() / "result.txt";
  options.keepDescriptors = {{readEnd.get(), 0}};
  std::filesystem::remove(folder.path() / "result.txt");
  ChildProcess program = ChildProcess::start({kProgram, "--record", (folder.path() / "request.json").string()}, options);
  readEnd.reset();
  program.wait(std::chrono::seconds(60));
  try {
    return Json::parse(readWholeFile(folder.path() / "result.txt"));
  } catch (...) {
    return nullptr;
  }
}

std::vector<float> decodedSound(const std::filesystem::path& file) {
  const std::string raw = commandOutput("ffmpeg -v error -i '" + file.string() +
                                        "' -map 0:a:0 -af aresample=async=1:first_pts=0 -ac 1 -ar 48000 -f f32le -");
  std::vector<float> samples(raw.size() / sizeof(float));
  std::memcpy(samples.data(), raw.data(), samples.size() * sizeof(float));
  return samples;
}

// First and last 10 ms block at half a 0.5 tone's level or more, in seconds; -1 when none.
std::pair<double, double> toneSpan(const std::vector<float>& sound) {
  double from = -1, to = -1;
  for (size_t at = 0; at + 480 <= sound.size(); at += 480) {
    double energy = 0;
    for (size_t k = at; k < at + 480; ++k) energy += double(sound[k]) * sound[k];
    if (std::sqrt(energy / 480) < 0.5 / std::sqrt(2.0) / 2) continue;
    if (from < 0) from = double(at) / 48000;
    to = double(at + 480) / 48000;
  }
  return {from, to};
}

// Seconds from starting `argv` to its first byte on standard output.
double firstOutputSeconds(const std::vector<std::string>& argv) {
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) return NAN;
  UniqueFd readEnd(output[0]), writeEnd(output[1]);
  ChildProcess::Options options;
  options.keepDescriptors = {{writeEnd.get(), 1}};
  const double started = monotonicSeconds();
  ChildProcess child = ChildProcess::start(argv, options);
  writeEnd.reset();
  char byte;
  const double first = ::read(readEnd.get(), &byte, 1) == 1 ? monotonicSeconds() - started : NAN;
  while (::read(readEnd.get(), &byte, 1) == 1) {
  }
  child.wait();
  return first;
}

double ffmpegFirstSample(const std::string& monitor) {
  const std::vector<std::string> tail = {"-t", "1", "-f", "s16le", "-ac", "2", "-ar", "48000", "pipe:1"};
  std::vector<std::string> pulse = {"ffmpeg", "-v", "quiet", "-f", "pulse", "-fragment_size", "3840", "-i", monitor};
  std::vector<std::string> instant = {"ffmpeg", "-v", "quiet", "-f", "lavfi", "-i", "anullsrc=r=48000:cl=stereo"};
  pulse.insert(pulse.end(), tail.begin(), tail.end());
  instant.insert(instant.end(), tail.begin(), tail.end());
  return firstOutputSeconds(pulse) - firstOutputSeconds(instant);
}

// A private display and a sound server of `kind` with a fresh null sink, named by DISPLAY and
// PULSE_SERVER while it lives.
struct Desk {
  Desk(SoundServerKind kind, int width, int height)
      : display(VirtualDisplay::start(width, height)),
        displayVariable("DISPLAY", display->name()),
        sound(VirtualSoundServer::start(false, kind)),
        soundVariable("PULSE_SERVER", sound->server()) {}
  std::unique_ptr<VirtualDisplay> display;
  ScopedEnvironmentVariable displayVariable;
  std::unique_ptr<VirtualSoundServer> sound;
  ScopedEnvironmentVariable soundVariable;
};

void runCase(SoundServerKind kind, PlayerBuffering buffering, int runs) {
  const char* player = buffering == PlayerBuffering::low ? "20 ms player" : "default-buffered player";
  std::printf("%s, %s\n", soundServerName(kind), player);
  std::fflush(stdout);
  const Desk desk(kind, 1280, 720);
  const auto& sound = desk.sound;
  TemporaryFolder folder;
  AnimatedWindow window(0, 0, 320, 180);
  window.setAnimating(true);
  const std::string monitor = std::string(VirtualSoundServer::kSinkName) + ".monitor";

  for (int run = 0; run < runs; ++run) {
    ChildProcess tone = sound->playTone(1000, 30, 0.5, buffering);
    // A different moment of the sink's block each run.
    std::this_thread::sleep_for(std::chrono::milliseconds(300 + 700 * run));
    const double ffmpeg = ffmpegFirstSample(monitor);
    const auto movie = folder.path() / "tone.mp4";
    std::filesystem::remove(movie);
    const Json movieResult = record(folder, R"({"kind":"video","destination":")" + movie.string() +
                                                R"(","capture_audio":true,"duration_seconds":3,"exclude_pid":1,"rect":[0,0,320,180]})");
    const auto [movieFrom, movieTo] = toneSpan(decodedSound(movie));
    const auto wave = folder.path() / "tone.wav";
    std::filesystem::remove(wave);
    const Json waveResult = record(folder, R"({"kind":"audio","destination":")" + wave.string() +
                                               R"(","capture_audio":true,"duration_seconds":3,"exclude_pid":1})");
    const auto [waveFrom, waveTo] = toneSpan(decodedSound(wave));
    std::printf("  run %d: first sample: ffmpeg %5.0f ms, movie's sound from %5.0f ms to %5.2f s of %4.2f s;  "
                "3 s WAV: %4.2f s long, tone %4.2f-%4.2f s\n",
                run + 1, ffmpeg * 1000, movieFrom * 1000, movieTo,
                movieResult.is_null() ? NAN : movieResult["duration_seconds"].get<double>(),
                waveResult.is_null() ? NAN : waveResult["duration_seconds"].get<double>(), waveFrom, waveTo);
    std::fflush(stdout);
  }

  // The click 1.9 s after the player started, and (a 20 ms player) 3.9 s after, when a sink that
  // slept has run for a while.
  const bool late = buffering == PlayerBuffering::low;
  for (int run = 0; run < (late ? 2 : 1) * runs; ++run) {
    const bool settled = run >= runs;
    const auto movie = folder.path() / "marks.mp4";
    std::filesystem::remove(movie);
    MarkWindow marks(400, 100, 320, 180, monotonicSeconds());
    double instant = 0;
    ClickPlayer clicks(sound->server(), buffering);
    MonitorWitness witness(sound->server());
    // Far enough ahead for a buffered player to put the click in its buffer in time.
    const double ahead = settled ? 3.9 : buffering == PlayerBuffering::low ? 1.9 : 2.9;
    std::thread flash([&] {
      std::this_thread::sleep_for(300ms);
      const double at = monotonicSeconds() + ahead - 0.3;
      clicks.clickAt(at);
      marks.flashAt(at);
      instant = at - marks.origin();
    });
    record(folder, R"({"kind":"video","destination":")" + movie.string() +
                       R"(","capture_audio":true,"duration_seconds":)" + (settled ? "6" : "4") +
                       R"(,"exclude_pid":1,"rect":[400,100,320,180]})");
    flash.join();
    const SyncMarks found = syncMarks(movie);
    // By the frames' time codes: how late the movie puts the click and the flash after the instant
    // both happened (a frame shows the flash up to a frame interval after it), and how late the
    // server handed the click to its witness.
    std::printf("  run %d%s: A/V offset %+5.1f ms (click - flash; goal |offset| <= 42); after the instant: "
                "click %+5.1f ms, flash %+5.1f ms in the movie, click %+5.1f ms at the server's monitor\n",
                run % runs + 1, settled ? " (click 3.9 s after the player started)" : "",
                found.offset().value_or(NAN) * 1000, found.after(found.click, instant).value_or(NAN) * 1000,
                found.after(found.flash, instant).value_or(NAN) * 1000,
                (witness.heardAt() - marks.origin() - instant) * 1000);
    std::fflush(stdout);
  }
}

struct Steadiness {
  int holes = 0, breaks = 0;
  double seconds = 0;
  std::vector<double> at;  // where, in seconds
};

Steadiness steadiness(const std::vector<float>& sound) {
  constexpr size_t kBlock = 480;  // ten periods of 1 kHz
  Steadiness found;
  std::vector<double> levels, phases;
  for (size_t at = 0; at + kBlock <= sound.size(); at += kBlock) {
    double energy = 0;
    for (size_t k = at; k < at + kBlock; ++k) energy += double(sound[k]) * sound[k];
    levels.push_back(std::sqrt(energy / kBlock));
    phases.push_back(tonePhase(sound, at, at + kBlock, 1000));
  }
  if (levels.size() < 80) return found;
  std::vector<double> sorted = levels;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  const double level = sorted[sorted.size() / 2];
  bool quiet = false;
  for (size_t block = 30; block + 30 < levels.size(); ++block) {
    const bool low = levels[block] < level / 2;
    if (low && !quiet) {
      ++found.holes;
      found.at.push_back(double(block * kBlock) / 48000);
    }
    quiet = low;
    if (low || levels[block - 1] < 0.9 * level || levels[block] < 0.9 * level) continue;
    if (phaseJump(phases[block - 1], phases[block], 1000) > 2) {
      ++found.breaks;
      found.at.push_back(double(block * kBlock) / 48000);
    }
  }
  found.seconds = double(sound.size()) / 48000;
  return found;
}

std::string places(const Steadiness& found) {
  std::string text;
  char one[32];
  for (double at : found.at) {
    std::snprintf(one, sizeof one, "%s%.2f s", text.empty() ? " at " : ", ", at);
    text += one;
  }
  return text;
}

void runSteady(SoundServerKind kind, int runs) {
  std::printf("%s, steady tone, both cores busy\n", soundServerName(kind));
  std::fflush(stdout);
  const Desk desk(kind, 640, 480);
  TemporaryFolder folder;
  const auto tone = folder.path() / "steady-tone.wav";
  VirtualSoundServer::writeTone(tone, 1000, 30, 0.5);
  const std::string monitor = std::string(VirtualSoundServer::kSinkName) + ".monitor";
  for (int run = 0; run < runs; ++run) {
    ChildProcess player = ChildProcess::start({"paplay", "--latency-msec=250", tone.string()});
    std::this_thread::sleep_for(1s);
    ChildProcess busy[2] = {ChildProcess::start({"sh", "-c", "exec yes > /dev/null"}),
                            ChildProcess::start({"sh", "-c", "exec yes > /dev/null"})};
    const auto peer = folder.path() / "ffmpeg.wav";
    std::filesystem::remove(peer);
    ChildProcess ffmpeg = ChildProcess::start({"ffmpeg", "-v", "quiet", "-f", "pulse", "-fragment_size", "3840", "-i",
                                               monitor, "-t", "20", "-ac", "2", "-ar", "48000", peer.string()});
    const auto wave = folder.path() / "steady.wav";
    std::filesystem::remove(wave);
    const Json result = record(folder, R"({"kind":"audio","destination":")" + wave.string() +
                                           R"(","capture_audio":true,"duration_seconds":20,"exclude_pid":1})");
    ffmpeg.wait(std::chrono::seconds(10));
    for (ChildProcess& loop : busy) loop.stop();
    player.stop();
    if (result.is_null() || !result.contains("duration_seconds")) {
      std::printf("  run %d: rezoro-capture failed: %s\n", run + 1, result.is_null() ? "no result" : result.dump().c_str());
      continue;
    }
    const Steadiness ours = steadiness(decodedSound(wave)), theirs = steadiness(decodedSound(peer));
    std::printf("  run %d: rezoro-capture %.2f s, %d holes, %d breaks%s; ffmpeg %.2f s, %d holes, %d breaks%s\n",
                run + 1, ours.seconds, ours.holes, ours.breaks,
                places(ours).c_str(), theirs.seconds, theirs.holes, theirs.breaks, places(theirs).c_str());
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  if (argc > 1 && std::string(argv[1]) == "steady") {
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    for (SoundServerKind kind : kSoundServerKinds) {
      try {
        runSteady(kind, runs);
      } catch (const std::exception& error) {
        std::printf("  could not run: %s\n", error.what());
      }
    }
    return 0;
  }
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  for (SoundServerKind kind : kSoundServerKinds) {
    for (PlayerBuffering buffering : {PlayerBuffering::low, PlayerBuffering::serverDefault}) {
      try {
        runCase(kind, buffering, runs);
      } catch (const std::exception& error) {
        std::printf("  could not run: %s\n", error.what());
      }
    }
  }
  return 0;
}
