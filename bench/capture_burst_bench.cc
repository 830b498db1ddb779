// capture_burst_bench [RUNS]: RUNS recordings (default 20) of the Wayland test desktop's bursts scene
// (sway, xdg-desktop-portal-wlr, PipeWire): five colour changes 15 ms apart in the middle of a 3 s
// recording, then a still screen. Prints, per run, whether the file ends with the last colour, and
// the count. A picture dropped for coming less than a frame interval after the one before shows
// here as a file that ends with an earlier colour.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "capture/testing/wayland_bursts.h"

namespace wayland = rezoro::capture::testing;

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(std::atoi(argv[1]), 1) : 20;
  if (auto missing = wayland::WaylandDesktop::missingComponent()) {
    std::cerr << "no Wayland test desktop: " << *missing << "\n";
    return 1;
  }
  std::unique_ptr<wayland::WaylandDesktop> desktop = wayland::WaylandDesktop::start();
  wayland::TempDir folder;
  std::vector<std::unique_ptr<wayland::ScopedEnvironmentVariable>> variables;
  for (const auto& [name, value] : desktop->clientEnvironment((folder / "state").string())) {
    variables.emplace_back(std::make_unique<wayland::ScopedEnvironmentVariable>(name, value.value_or("")));
  }
  desktop->showScene(wayland::WaylandDesktop::Scene::bursts);
  const char* colours[] = {"ff0000", "ffff00", "00ffff", "ff00ff"};
  int kept = 0, recorded = 0;
  for (int run = 0; run < runs; ++run) {
    const std::string last = colours[run % 4];
    const wayland::BurstOutcome outcome =
        wayland::recordBurst(*desktop, folder.path(), last, "burst-" + std::to_string(run) + ".mp4");
    recorded += outcome.recorded;
    kept += outcome.lastColourKept;
    std::printf("run %2d: %s  %s\n", run + 1, outcome.lastColourKept ? "kept" : "LOST", outcome.detail.c_str());
    std::fflush(stdout);
  }
  std::printf("last colour of the burst in the file's last second: %d of %d runs (%d recorded)\n", kept, runs,
              recorded);
  return kept == runs ? 0 : 1;
}
