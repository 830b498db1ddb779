// animated_window X Y WIDTH HEIGHT [SECONDS] [--colour RRGGBB] [--tone HZ] [--child X Y WIDTH HEIGHT]
// Shows a window on $DISPLAY with a bar sweeping across it (redrawn every 20 ms) until SIGTERM/SIGINT
// or SECONDS have passed. Something to record in demos on a virtual display without a desktop.
//   --colour  a still window of that colour instead of the bar
//   --tone    also plays a sine tone of HZ into the default sink of $PULSE_SERVER, from a child
//             process (sox, then paplay)
//   --child   also shows a window of the same colour from a child process (a copy of this program)
// An application made of several processes, for tests that leave one out of a recording.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/testing/display_and_sound.h"

namespace {
volatile sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }
}  // namespace

int main(int argc, char** argv) {
  using rezoro::capture::testing::ChildProcess;
  std::vector<std::string> positional;
  std::optional<std::string> colour;
  std::optional<double> tone;
  std::vector<std::string> child;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--colour" && i + 1 < argc) {
      colour = argv[++i];
    } else if (arg == "--tone" && i + 1 < argc) {
      tone = std::atof(argv[++i]);
    } else if (arg == "--child" && i + 4 < argc) {
      child.assign(argv + i + 1, argv + i + 5);
      i += 4;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 4 && positional.size() != 5) {
    std::fprintf(stderr, "usage: %s X Y WIDTH HEIGHT [SECONDS] [--colour RRGGBB] [--tone HZ] [--child X Y W H]\n",
                 argv[0]);
    return 2;
  }
  const double seconds = positional.size() == 5 ? std::atof(positional[4].c_str()) : 3600;
  ::signal(SIGTERM, requestStop);
  ::signal(SIGINT, requestStop);
  try {
    const uint32_t fill = colour ? static_cast<uint32_t>(std::stoul(*colour, nullptr, 16)) : 0x204080;
    rezoro::capture::testing::AnimatedWindow window(std::stoi(positional[0]), std::stoi(positional[1]),
                                                    std::stoi(positional[2]), std::stoi(positional[3]), fill);
    window.setAnimating(!colour);
    // Released (stopped and reaped) before this process ends.
    ChildProcess helper, player;
    std::optional<rezoro::capture::testing::TemporaryFolder> folder;
    if (!child.empty()) {
      std::vector<std::string> args{"/proc/self/exe"};
      args.insert(args.end(), child.begin(), child.end());
      args.push_back(std::to_string(seconds));
      if (colour) args.insert(args.end(), {"--colour", *colour});
      helper = ChildProcess::start(args);
    }
    if (tone) {
      folder.emplace();
      player = rezoro::capture::testing::VirtualSoundServer::startTone(folder->path() / "tone.wav", *tone, seconds, 0.5);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!stopRequested && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "animated_window: %s\n", error.what());
    return 1;
  }
  return 0;
}
