// Many recordings stopped at random instants by q, the end of input, SIGINT, SIGTERM or their
// duration, on a private Xvfb and PulseAudio: prints how many ended with exactly one result, a
// readable file or none, and no temporary left. Usage: capture_fault_bench [recordings, default 100]
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <string>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/stop_race.h"

int main(int argc, char** argv) {
  namespace testing = rezoro::capture::testing;
  const int count = argc > 1 ? std::atoi(argv[1]) : 100;
  char self[PATH_MAX] = {};
  if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 2;
  const std::string program = (std::filesystem::path(self).parent_path() / "rezoro-capture").string();

  auto world = testing::DisplayAndSound::start();
  testing::AnimatedWindow window(0, 0, 320, 240);
  window.setAnimating(true);
  testing::TempDir folder;
  std::mt19937 random(std::random_device{}());
  std::map<std::string, int> results;
  int failures = 0;
  for (int index = 0; index < count; ++index) {
    const testing::StopRace race = testing::stopRace(folder.path(), program, index, random);
    ++results[race.control + " -> " + (race.result.empty() ? "?" : race.result)];
    if (!race.problem.empty()) {
      ++failures;
      std::cout << "recording " << index << ": " << race.control << " at " << race.instant << " s"
                << (race.claimed ? " (name claimed)" : "") << ": " << race.problem << "\n";
    }
  }
  for (const auto& [outcome, times] : results) std::cout << outcome << ": " << times << "\n";
  std::cout << "recordings " << count << ", promises broken " << failures << "\n";
  return failures == 0 ? 0 : 1;
}
