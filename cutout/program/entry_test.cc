#include "cutout/program/entry.h"
#include "cutout/service/file_checks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>

#include "common/unique_fd.h"
#include "cutout/contract/cutout_failure.h"

namespace rezoro::cutout {
namespace {

const std::string invalidLine =
    R"({"error":"Cut Out received an invalid image or request.","error_code":"invalid_input","ok":false})"
    "\n";

class ScriptedEngine : public ForegroundEngine {
 public:
  bool available = true;
  bool queryThrowsLogicError = false;
  ComputeStageDevices devices{{ComputeStage::main, {{ComputeDeviceKind::cpu, 0}}}};
  int queries = 0;

  bool isAvailable() override { return available; }
  ComputeStageDevices supportedComputeStageDevices() override {
    ++queries;
    return devices;
  }
  std::unique_ptr<InstanceMaskObservation> perform(const ForegroundRequest&, const ImageRequestHandler&) override {
    throw std::logic_error("the probe must not run the network");
  }
};

// An engine whose request building fails with something other than a CutoutFailure.
class BrokenEngine : public ScriptedEngine {
 public:
  bool isAvailable() override { throw std::runtime_error("runtime missing"); }
};

struct Outcome {
  int status;
  std::string output;
  std::vector<std::filesystem::path> served;
};

Outcome runWith(const std::vector<std::string>& arguments, ForegroundEngine& engine, int serveStatus = 0) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe");
  UniqueFd reader(pipeFds[0]), writer(pipeFds[1]);
  Outcome outcome;
  outcome.status = cutoutMain(arguments, engine, writer.get(), [&](const std::filesystem::path& directory) {
    outcome.served.push_back(directory);
    return serveStatus;
  });
  writer.reset();
  char buffer[4096];
  ssize_t count;
  while ((count = ::read(reader.get(), buffer, sizeof buffer)) > 0) outcome.output.append(buffer, count);
  return outcome;
}

TEST(CutoutMain, RefusesEveryOtherInvocationWithTheInvalidInputLine) {
  const std::vector<std::vector<std::string>> invocations = {
      {}, {"--probe", "--probe"}, {"--probe", "/tmp"}, {"--serve"}, {"--serve", "/tmp", "extra"},
      {"--PROBE"}, {"--Serve", "/tmp"}, {"probe"}, {"--probe "}, {"/tmp", "--serve"}, {""},
  };
  for (const auto& arguments : invocations) {
    ScriptedEngine engine;
    const Outcome outcome = runWith(arguments, engine);
    EXPECT_EQ(outcome.status, 2) << testing::PrintToString(arguments);
    EXPECT_EQ(outcome.output, invalidLine) << testing::PrintToString(arguments);
    EXPECT_TRUE(outcome.served.empty());
    EXPECT_EQ(engine.queries, 0);
  }
}

TEST(CutoutMain, ProbeAnswersWithTheBackendOrTheFailure) {
  ScriptedEngine engine;
  Outcome outcome = runWith({"--probe"}, engine);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.output, "{\"backend\":\"apple_vision\",\"ok\":true,\"revision\":3}\n");

  engine.available = false;
  engine.queries = 0;
  outcome = runWith({"--probe"}, engine);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.output,
            R"({"error":"Native Cut Out requires a supported Mac and macOS 14 or later.",)"
            R"("error_code":"unsupported_hardware","ok":false})"
            "\n");
  EXPECT_EQ(engine.queries, 0);

  engine.available = true;
  engine.devices = {{ComputeStage::main, {{ComputeDeviceKind::neuralEngine, 0}}}};
  outcome = runWith({"--probe"}, engine);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.output.find("\"unsupported_hardware\""), std::string::npos);

  BrokenEngine broken;
  outcome = runWith({"--probe"}, broken);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.output,
            R"({"error":"Native Cut Out could not finish.","error_code":"native_failure","ok":false})"
            "\n");
}

TEST(CutoutMain, ProbeStatusFollowsTheAnswerWhenTheLineCannotBeWritten) {
  ScriptedEngine engine;
  EXPECT_EQ(cutoutMain({"--probe"}, engine, -1, nullptr), 0);
  engine.available = false;
  EXPECT_EQ(cutoutMain({"--probe"}, engine, -1, nullptr), 1);
}

TEST(CutoutMain, ServesTheStandardizedDirectoryAndReturnsItsStatus) {
  ScriptedEngine engine;
  Outcome outcome = runWith({"--serve", "/srv/./jobs/../queue/"}, engine, 2);
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.output, "");
  ASSERT_EQ(outcome.served.size(), 1u);
  EXPECT_EQ(outcome.served[0], "/srv/queue");

  outcome = runWith({"--serve", "relative/dir"}, engine, 0);
  EXPECT_EQ(outcome.status, 0);
  ASSERT_EQ(outcome.served.size(), 1u);
  EXPECT_EQ(outcome.served[0], std::filesystem::current_path() / "relative/dir");
  EXPECT_EQ(standardizedPath("/../a/.."), "/");
}

}  // namespace
}  // namespace rezoro::cutout
