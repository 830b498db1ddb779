#include "capture/program/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "capture/testing/test_basics.h"
#include "common/unique_fd.h"

namespace rezoro::capture {
namespace {

// Runs the entry with pipes for its two output streams and records what the recorder was given.
class EntryTest : public ::testing::Test {
 protected:
  struct Outcome {
    int status = -1;
    std::string output;
    std::string error;
  };

  Outcome run(const std::vector<std::string>& arguments) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC | O_NONBLOCK), 0);
    UniqueFd outRead(out[0]), outWrite(out[1]), errRead(err[0]), errWrite(err[1]);
    EntryServices services;
    services.screenAccess = [this] { return access; };
    services.record = [this](const CaptureRequest& request) {
      ++recordCalls;
      recorded = request;
      if (recordThrows) throw std::runtime_error("platform error");
      return result;
    };
    services.outputFd = outWrite.get();
    services.errorFd = errWrite.get();
    Outcome outcome;
    outcome.status = runCapture(arguments, services);
    outcome.output = drain(outRead.get());
    outcome.error = drain(errRead.get());
    return outcome;
  }

  static std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, count);
    return text;
  }

  std::string writeRequest(const Json& object) {
    const auto path = dir / "request.json";
    testing::writeTextFile(path, object.dump());
    return path.string();
  }

  Json videoRequest() const {
    return Json{{"kind", "video"},
                {"destination", (dir / "clip.mp4").string()},
                {"capture_audio", false},
                {"duration_seconds", 5},
                {"exclude_pid", 99},
                {"rect", {0, 0, 320, 240}}};
  }

  static constexpr const char* kInvalid =
      R"({"error":"The recording request is invalid.","error_code":"invalid_input","ok":false})"
      "\n";

  testing::TempDir dir;
  ScreenAccess access{true, true};
  CaptureResult result = Json{{"ok", true}};
  bool recordThrows = false;
  int recordCalls = 0;
  std::optional<CaptureRequest> recorded;
};

TEST_F(EntryTest, ProbePrintsFiveSortedKeysOnStandardOutput) {
  Outcome outcome = run({"--probe"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.output,
            "{\"backend\":\"screen_capture_kit\",\"ok\":true,\"revision\":1,"
            "\"screen_permission\":true,\"supported\":true}\n");
  EXPECT_EQ(outcome.error, "");

  access = {true, false};
  outcome = run({"--probe"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.output,
            "{\"backend\":\"screen_capture_kit\",\"ok\":true,\"revision\":1,"
            "\"screen_permission\":false,\"supported\":true}\n");
}

TEST_F(EntryTest, BadInvocationsAreInvalidInputOnStandardError) {
  const std::vector<std::vector<std::string>> invocations = {
      {}, {"--probe", "extra"}, {"--record"}, {"--record", "a", "b"}, {"--serve", "x"},
      {"record", "x"}, {"--PROBE"}, {"--record=x"}, {"--help"}};
  for (const auto& arguments : invocations) {
    const Outcome outcome = run(arguments);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(outcome.error, kInvalid);
  }
  EXPECT_EQ(recordCalls, 0);
}

TEST_F(EntryTest, RecordHandsTheValidatedRequestToTheRecorder) {
  Json object = videoRequest();
  object["destination"] = (dir / "sub" / ".." / "clip.mp4").string();
  result = Json{{"ok", true}, {"kind", "video"}, {"video_frames", 3}};
  const Outcome outcome = run({"--record", writeRequest(object)});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.output, "{\"kind\":\"video\",\"ok\":true,\"video_frames\":3}\n");
  EXPECT_EQ(outcome.error, "");
  ASSERT_EQ(recordCalls, 1);
  EXPECT_EQ(recorded->destination, dir / "clip.mp4");
  EXPECT_EQ(recorded->excludedPID, 99);
}

TEST_F(EntryTest, RecorderFailuresGoToStandardErrorWithStatusOne) {
  result = CaptureFailure::noFrames;
  Outcome outcome = run({"--record", writeRequest(videoRequest())});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.output, "");
  EXPECT_EQ(outcome.error,
            R"({"error":"No screen frames were received.","error_code":"no_frames","ok":false})"
            "\n");

  // Anything other than a CaptureFailure escaping the recording counts as invalid input.
  recordThrows = true;
  outcome = run({"--record", writeRequest(videoRequest())});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.error, kInvalid);
}

TEST_F(EntryTest, InvalidRequestsNeverReachTheRecorder) {
  Json object = videoRequest();
  object["exclude_pid"] = true;
  Outcome outcome = run({"--record", writeRequest(object)});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.error, kInvalid);
  outcome = run({"--record", (dir / "missing.json").string()});
  EXPECT_EQ(outcome.error, kInvalid);
  EXPECT_EQ(recordCalls, 0);
}

TEST_F(EntryTest, UnserialisableResultWritesNothing) {
  result = Json{{"ok", true}, {"duration_seconds", std::numeric_limits<double>::infinity()}};
  const Outcome outcome = run({"--record", writeRequest(videoRequest())});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.output, "");
  EXPECT_EQ(outcome.error, "");
}

}  // namespace
}  // namespace rezoro::capture
