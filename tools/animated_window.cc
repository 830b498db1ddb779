// animated_window X Y WIDTH HEIGHT [SECONDS]: shows a window on $DISPLAY with a bar sweeping across
// it (redrawn every 20 ms) until SIGTERM/SIGINT or SECONDS have passed. Something to record in
// demos on a virtual display without a desktop.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

#include "capture/platform/testing/display_and_sound.h"

namespace {
volatile sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: %s X Y WIDTH HEIGHT [SECONDS]\n", argv[0]);
    return 2;
  }
  const double seconds = argc == 6 ? std::atof(argv[5]) : 3600;
  ::signal(SIGTERM, requestStop);
  ::signal(SIGINT, requestStop);
  try {
    rezoro::capture::testing::AnimatedWindow window(std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]),
                                                    std::atoi(argv[4]));
    window.setAnimating(true);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!stopRequested && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "animated_window: %s\n", error.what());
    return 1;
  }
  return 0;
}
