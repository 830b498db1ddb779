#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

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
