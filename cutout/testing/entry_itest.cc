#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cutout/testing/cutout_testing.h"

extern char** environ;

namespace {

struct ProgramRun {
  int status = -1;
  std::string output;
};

ProgramRun runCutout(const std::string& arguments) {
  const std::string command = std::string(REZORO_BIN_DIR) + "/rezoro-cutout " + arguments + " </dev/null 2>&1";
  ProgramRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  std::array<char, 4096> buffer;
  size_t count;
  while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.output.append(buffer.data(), count);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(CutoutProgram, ProbesTheInstalledRuntimeAndModel) {
  const ProgramRun run = runCutout("--probe");
  EXPECT_EQ(run.output, "{\"backend\":\"apple_vision\",\"ok\":true,\"revision\":3}\n");
  EXPECT_EQ(run.status, 0);
}

// Runs the program with `input` on standard input and a standard output whose reader has already
// gone, with SIGPIPE at its default action as a parent would leave it. Returns the wait status.
int runWithClosedOutput(const std::vector<std::string>& arguments, const std::string& input) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return -1;
  ::close(out[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  const std::string program = std::string(REZORO_BIN_DIR) + "/rezoro-cutout";
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  if (spawned != 0) return -1;
  [[maybe_unused]] const auto written = ::write(in[1], input.data(), input.size());
  ::close(in[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST(CutoutProgram, AClosedOutputIsAFailedWriteNotADeath) {
  const int probe = runWithClosedOutput({"--probe"}, "");
  ASSERT_TRUE(WIFEXITED(probe)) << "killed by signal " << WTERMSIG(probe);
  EXPECT_EQ(WEXITSTATUS(probe), 0);

  // The refused line's answer goes nowhere; the job after it is still answered.
  const rezoro::cutout::testing::TemporaryFolder folder;
  std::ofstream(folder.path / "request-1.json") << R"({"kind":"other"})";
  const int service = runWithClosedOutput({"--serve", folder.path.string()}, "refused\nrequest-1.json\n");
  ASSERT_TRUE(WIFEXITED(service)) << "killed by signal " << WTERMSIG(service);
  EXPECT_EQ(WEXITSTATUS(service), 0);
  EXPECT_TRUE(std::filesystem::exists(folder.path / "response-1.json"));
}

TEST(CutoutProgram, RefusesInvocationsAndDirectoriesItCannotServe) {
  const std::string invalid =
      R"({"error":"Cut Out received an invalid image or request.","error_code":"invalid_input","ok":false})"
      "\n";
  for (const std::string arguments : {"", "--probe --probe", "--serve", "--PROBE"}) {
    const ProgramRun run = runCutout(arguments);
    EXPECT_EQ(run.output, invalid) << arguments;
    EXPECT_EQ(run.status, 2) << arguments;
  }
  const ProgramRun regularFile = runCutout("--serve " + std::string(REZORO_BIN_DIR) + "/rezoro-cutout");
  EXPECT_EQ(regularFile.output, invalid);
  EXPECT_EQ(regularFile.status, 2);
  const ProgramRun served = runCutout("--serve " + std::filesystem::temp_directory_path().string());
  EXPECT_EQ(served.output, "");
  EXPECT_EQ(served.status, 0);
}

}  // namespace
