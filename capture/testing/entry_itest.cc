// The rezoro-capture program run as a child process, as the parent application runs it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "capture/testing/test_basics.h"
#include "common/json_line.h"
#include "common/unique_fd.h"

namespace rezoro::capture {
namespace {

using testing::TempDir;
using testing::writeTextFile;

const std::string kProgram = std::string(REZORO_BIN_DIR) + "/rezoro-capture";
const std::string kInvalid =
    R"({"error":"The recording request is invalid.","error_code":"invalid_input","ok":false})"
    "\n";

struct ProgramRun {
  int status = -1;
  std::string output;
  std::string error;
};

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t count;
  while ((count = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, count);
  return text;
}

// Runs the program with `arguments`, standard input from /dev/null, DISPLAY set to `display` (or
// unset), optionally as the unprivileged user.
ProgramRun runProgram(const std::vector<std::string>& arguments, const std::optional<std::string>& display,
               bool unprivileged = false, const std::string& program = kProgram) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  UniqueFd outRead(out[0]), outWrite(out[1]), errRead(err[0]), errWrite(err[1]);
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (auto& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);

  const pid_t child = ::fork();
  if (child == 0) {
    const int input = ::open("/dev/null", O_RDONLY);
    ::dup2(input, 0);
    ::dup2(outWrite.get(), 1);
    ::dup2(errWrite.get(), 2);
    if (display) {
      ::setenv("DISPLAY", display->c_str(), 1);
    } else {
      ::unsetenv("DISPLAY");
    }
    if (unprivileged && ::geteuid() == 0 &&
        (::setgid(testing::kNobody) != 0 || ::setuid(testing::kNobody) != 0)) {
      ::_exit(120);
    }
    ::execv(program.c_str(), pointers.data());
    ::_exit(127);
  }
  outWrite.reset();
  errWrite.reset();
  ProgramRun run;
  run.output = readAll(outRead.get());
  run.error = readAll(errRead.get());
  int status = 0;
  ::waitpid(child, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// A private X server for the probe, on a display number it picks itself.
class XServer {
 public:
  XServer() {
    int ready[2];
    if (::pipe(ready) != 0) return;
    UniqueFd readEnd(ready[0]), writeEnd(ready[1]);
    ::fcntl(readEnd.get(), F_SETFD, FD_CLOEXEC);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int quiet = ::open("/dev/null", O_RDWR);
      ::dup2(quiet, 0);
      ::dup2(quiet, 1);
      ::dup2(quiet, 2);
      const std::string fd = std::to_string(writeEnd.get());
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten",
               "tcp", "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    writeEnd.reset();
    pollfd wait{readEnd.get(), POLLIN, 0};
    if (pid_ > 0 && ::poll(&wait, 1, 15000) == 1) {
      char buffer[16] = {};
      if (::read(readEnd.get(), buffer, sizeof buffer - 1) > 0 && buffer[0] >= '0' && buffer[0] <= '9') {
        display_ = ":" + std::to_string(std::atoi(buffer));
      }
    }
    // The number is announced slightly before the server takes clients.
    for (int attempt = 0; display_ && attempt < 200; ++attempt) {
      xcb_connection_t* connection = xcb_connect(display_->c_str(), nullptr);
      const bool up = xcb_connection_has_error(connection) == 0;
      xcb_disconnect(connection);
      if (up) return;
      ::usleep(50000);
    }
    display_.reset();
  }
  ~XServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  const std::optional<std::string>& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::optional<std::string> display_;
};

class CaptureProgramTest : public ::testing::Test {
 protected:
  std::string request(const Json& object, const std::string& name = "request.json") {
    writeTextFile(dir / name, object.dump());
    return (dir / name).string();
  }
  Json video(const std::filesystem::path& destination) const {
    return Json{{"kind", "video"},
                {"destination", destination.string()},
                {"capture_audio", true},
                {"duration_seconds", 3},
                {"exclude_pid", 1},
                {"rect", {0, 0, 320, 240}}};
  }
  static std::string failureLine(const char* code, const char* sentence) {
    return serializedJson(Json{{"ok", false}, {"error_code", code}, {"error", sentence}}).value() + "\n";
  }

  TempDir dir;
};

TEST_F(CaptureProgramTest, ProbeWithoutADisplayReportsNeither) {
  const ProgramRun run = runProgram({"--probe"}, std::nullopt);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output,
            "{\"backend\":\"screen_capture_kit\",\"ok\":true,\"revision\":1,"
            "\"screen_permission\":false,\"supported\":false}\n");
  EXPECT_EQ(run.error, "");
}

TEST_F(CaptureProgramTest, ProbeOnAnXServerReportsBoth) {
  const XServer server;
  if (!server.display()) GTEST_SKIP() << "Xvfb could not be started";
  const ProgramRun run = runProgram({"--probe"}, server.display());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output,
            "{\"backend\":\"screen_capture_kit\",\"ok\":true,\"revision\":1,"
            "\"screen_permission\":true,\"supported\":true}\n");
  EXPECT_EQ(run.error, "");

  // With a display, a valid request starts recording; standard input at its end stops it before a
  // frame has arrived.
  const ProgramRun record = runProgram({"--record", request(video(dir / "clip.mp4"))}, server.display());
  EXPECT_EQ(record.status, 1);
  EXPECT_EQ(record.output, "");
  EXPECT_EQ(record.error, failureLine("no_frames", "No screen frames were received."));
}

TEST_F(CaptureProgramTest, WithoutADisplayARecordingIsRefusedForPermissionAndTheReservationKept) {
  writeTextFile(dir / "placeholder.mp4", "");
  const ProgramRun run = runProgram({"--record", request(video(dir / "placeholder.mp4"))}, std::nullopt);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.error,
            failureLine("permission_denied",
                        "Allow screen and system audio recording in System Settings, then reopen the app."));
  // The parent's reservation stays, and nothing else appears beside it and the request.
  EXPECT_TRUE(std::filesystem::exists(dir / "placeholder.mp4"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST_F(CaptureProgramTest, ReadOnlyDirectoryIsRefused) {
  // Run as an ordinary user: root may write into any directory.
  const std::optional<std::string> program = testing::programForUnprivileged(kProgram, dir);
  if (!program) GTEST_SKIP() << "the unprivileged user can reach neither the program nor a copy in " << dir.path();
  std::filesystem::create_directory(dir / "open");
  std::filesystem::create_directory(dir / "closed");
  ::chmod((dir / "open").c_str(), 0777);
  ::chmod((dir / "closed").c_str(), 0555);
  const ProgramRun open = runProgram({"--record", request(video(dir / "open" / "clip.mp4"), "open.json")},
                              std::nullopt, /*unprivileged=*/true, *program);
  EXPECT_EQ(open.status, 1);
  EXPECT_EQ(open.error.find("invalid_input"), std::string::npos) << open.error;
  const ProgramRun closed = runProgram({"--record", request(video(dir / "closed" / "clip.mp4"), "closed.json")},
                                std::nullopt, /*unprivileged=*/true, *program);
  EXPECT_EQ(closed.status, 1);
  EXPECT_EQ(closed.error, kInvalid);
}

}  // namespace
}  // namespace rezoro::capture
