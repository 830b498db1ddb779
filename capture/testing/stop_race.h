#pragma once
// Recordings stopped at random instants by each of the parent's means, for the fault tests and the
// benchmark that runs many more of them. Needs a display (and sound server) named in the
// environment, and ffprobe to read the published files through.

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include "capture/testing/recording_process.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture::testing {

struct StopRace {
  std::string control;     // "q", "end of input", "SIGINT", "SIGTERM" or "duration"
  double instant = 0;      // seconds after the program began holding the stop signals
  bool claimed = false;    // something else took the destination name while it recorded
  std::string result;      // the result line's code: "ok" or the error code
  std::string problem;     // empty when every promise held
};

// Records 320×240 (with sound) for one second at most into `folder`/race-`index`.mp4, stopped by a
// randomly chosen control at a random instant; now and then another writer takes the destination
// name meanwhile. Checks: exactly one result line and a matching exit status; on success a file
// ffprobe reads completely without a complaint, otherwise no file (and a claimed name keeps its contents); no
// hidden temporary file left in `folder`.
inline StopRace stopRace(const std::filesystem::path& folder, const std::string& program, int index,
                         std::mt19937& random) {
  static const char* const controls[] = {"q", "end of input", "SIGINT", "SIGTERM", "duration"};
  StopRace race;
  race.control = controls[std::uniform_int_distribution<int>(0, 4)(random)];
  race.instant = std::uniform_real_distribution<double>(0.0, 1.2)(random);
  race.claimed = std::uniform_int_distribution<int>(0, 3)(random) == 0;
  const auto destination = folder / ("race-" + std::to_string(index) + ".mp4");
  const std::string theirs = "another writer's file";

  RecordingProcess recording(folder, recordingRequestText("video", destination, 1.0), program);
  // The instant counts from when the program can take a signal at all.
  if (!recording.waitUntilStopSignalsHeld()) race.problem = "never held the stop signals";
  std::this_thread::sleep_for(std::chrono::duration<double>(race.instant));
  if (race.claimed) writeTextFile(destination, theirs);
  if (race.control == "q") recording.write("q\n");
  if (race.control == "end of input") recording.closeInput();
  if (race.control == "SIGINT") recording.signal(SIGINT);
  if (race.control == "SIGTERM") recording.signal(SIGTERM);
  const int status = recording.wait(std::chrono::seconds(25));

  auto problem = [&race](const std::string& text) {
    if (race.problem.empty()) race.problem = text;
  };
  const std::optional<Json> line = recording.onlyLine();
  if (status < 0) problem("killed, or did not end by itself");
  if (!line) {
    problem("not exactly one result line: " + recording.output() + recording.error());
  } else {
    const bool ok = (*line)["ok"] == true;
    race.result = ok ? "ok" : (*line)["error_code"].get<std::string>();
    if (status != (ok ? 0 : 1)) problem("exit status " + std::to_string(status) + " with " + line->dump());
    if ((ok ? recording.output() : recording.error()).empty()) problem("result on the wrong stream");
  }
  std::error_code missing;
  const bool exists = std::filesystem::exists(destination, missing);
  if (race.claimed) {
    std::ifstream in(destination);
    const std::string kept((std::istreambuf_iterator<char>(in)), {});
    if (kept != theirs) problem("the other writer's file was replaced");
  } else if (race.result == "ok") {
    // Every frame of every stream decoded: one count per stream, and not a word of complaint.
    const std::string counts = commandOutput("ffprobe -v error -count_frames -show_entries stream=nb_read_frames "
                                             "-of csv=p=0 '" + destination.string() + "' 2>&1");
    if (!exists || counts.empty() || counts.find_first_not_of("0123456789\n") != std::string::npos) {
      problem("published file does not read completely: " + counts);
    }
  } else if (exists) {
    problem("a file was published with a failure");
  }
  if (!noRecordingTemporaryIn(folder)) problem("a temporary file was left behind");
  std::filesystem::remove(destination, missing);
  return race;
}

}  // namespace rezoro::capture::testing
