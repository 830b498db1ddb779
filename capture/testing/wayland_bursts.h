#pragma once

// One recording of the Wayland test desktop's `bursts` scene: five colour changes 15 ms apart in
// the middle, then a still screen to the end; the last change must be what the file ends with. For
// the integration test (a few runs) and capture_burst_bench (many).

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "capture/testing/program_recording.h"
#include "capture/testing/wayland_desktop.h"

namespace rezoro::capture::testing {

struct BurstOutcome {
  bool recorded = false;    // the program published a file
  bool lastColourKept = false;
  std::string detail;       // what was seen, for the message of a failure
};

// Records the scene for 3 s (the scene must be showing), with a burst ending in `last` (RRGGBB) about
// a second in, and looks at the file's last picture, 0.3 s before its end.
inline BurstOutcome recordBurst(WaylandDesktop& desktop, const std::filesystem::path& folder, const std::string& last,
                                const std::string& name) {
  BurstOutcome outcome;
  const std::filesystem::path file = folder / name;
  const int x = WaylandDesktop::kSceneX, y = WaylandDesktop::kSceneY;
  const int width = WaylandDesktop::kSceneWidth, height = WaylandDesktop::kSceneHeight;
  ProgramRecording recording(folder, R"({"kind":"video","destination":")" + file.string() +
                                         R"(","capture_audio":false,"duration_seconds":3,"exclude_pid":1,"rect":[)" +
                                         std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(width) +
                                         "," + std::to_string(height) + "]}");
  // The portal's handshake takes about a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  desktop.burst(last);
  if (recording.wait() != 0) {
    outcome.detail = recording.error();
    return outcome;
  }
  outcome.recorded = true;
  const auto video = probeStream(file, "v:0", "duration");
  const double duration = video.count("duration") ? std::atof(video.at("duration").c_str()) : 0;
  const std::string raw = commandOutput("ffmpeg -v error -ss " + std::to_string(duration - 0.3) + " -i '" +
                                        file.string() + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
  const size_t at = (static_cast<size_t>(height / 2) * width + width / 2) * 3;
  if (raw.size() < at + 3) {
    outcome.detail = "no picture near the end of a file of " + std::to_string(duration) + " s";
    return outcome;
  }
  const long expected = std::strtol(last.c_str(), nullptr, 16);
  const int seen[3] = {uint8_t(raw[at]), uint8_t(raw[at + 1]), uint8_t(raw[at + 2])};
  outcome.lastColourKept = true;
  for (int channel = 0; channel < 3; ++channel) {
    const int wanted = static_cast<int>((expected >> (16 - 8 * channel)) & 0xff);
    outcome.lastColourKept = outcome.lastColourKept && std::abs(seen[channel] - wanted) <= 40;
  }
  outcome.detail = "the end of " + std::to_string(duration) + " s shows " + std::to_string(seen[0]) + "," +
                   std::to_string(seen[1]) + "," + std::to_string(seen[2]) + " for #" + last;
  if (!outcome.lastColourKept) {
    // Every picture's time and middle colour, to tell a lost picture from a late one.
    const std::string times = commandOutput("ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of csv=p=0 '" +
                                            file.string() + "' | tr '\\n' ' '");
    const std::string middles = commandOutput("ffmpeg -v error -i '" + file.string() + "' -vf format=rgb24,crop=2:2:" +
                                              std::to_string(width / 2) + ":" + std::to_string(height / 2) +
                                              " -f rawvideo -pix_fmt rgb24 - | od -An -tu1 -w12 | awk '{print $1\",\"$2\",\"$3}' | tr '\\n' ' '");
    outcome.detail += "; pictures at " + times + "; colours " + middles;
  }
  return outcome;
}

}  // namespace rezoro::capture::testing
