#include "cutout/service/service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "common/json_reader.h"
#include "common/uuid.h"
#include "cutout/contract/cutout_failure.h"

namespace rezoro::cutout {
namespace {

namespace fs = std::filesystem;

const std::string invalidLine =
    R"({"error":"Cut Out received an invalid image or request.","error_code":"invalid_input","ok":false})" "\n";
const std::string exportFailedLine =
    R"({"error":"The Cut Out mask could not be saved.","error_code":"export_failed","ok":false})" "\n";

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("rezoro-service-" + newUuidString());
    fs::create_directory(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& name, const std::string& text) { std::ofstream(dir_ / name, std::ios::binary) << text; }
  std::string read(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool exists(const std::string& name) const { return fs::exists(fs::symlink_status(dir_ / name)); }
  size_t entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }

  // Serves `input` with a runner that answers {"echo": request} and records the phases; returns
  // what the service printed.
  std::string serveInput(const std::string& input, int* status = nullptr) {
    int in[2], out[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    std::thread feeder([&] {
      EXPECT_EQ(::write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
      ::close(in[1]);
    });
    const int result = serve(dir_, in[0], out[1], [&](const Json& request, const PhaseCallback& phase) {
      ++jobs_;
      phase("loading");
      phase("running");
      if (request.contains("fail")) throw CutoutFailure::noForeground;
      if (request.contains("throw")) throw std::runtime_error("other");
      if (request.contains("oom")) throw std::bad_alloc();
      return Json{{"echo", request}};
    });
    feeder.join();
    ::close(in[0]);
    ::close(out[1]);
    std::string printed;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) printed.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    if (status) *status = result;
    return printed;
  }

  fs::path dir_;
  int jobs_ = 0;
};

TEST(RequestFileName, AcceptsOnlyTheAnchoredPattern) {
  EXPECT_TRUE(isRequestFileName("request-1.json"));
  EXPECT_TRUE(isRequestFileName("request-000123.json"));
  for (const char* refused : {"request-.json", "request-1.json ", " request-1.json", "Request-1.json", "request-1.JSON",
                              "request-1.json.bak", "dir/request-1.json", "", "request-1a.json", "request--1.json",
                              "request-\xd9\xa1.json"}) {
    EXPECT_FALSE(isRequestFileName(refused)) << refused;
  }
  EXPECT_FALSE(isRequestFileName(std::string_view("request-1.json\0", 15)));
  // The longest name a file can have, and one byte more.
  EXPECT_TRUE(isRequestFileName("request-" + std::string(242, '7') + ".json"));
  EXPECT_FALSE(isRequestFileName("request-" + std::string(243, '7') + ".json"));
}

TEST_F(ServiceTest, OverlongLinesAreRefusedAsOneLineAndTheServiceGoesOn) {
  write("request-1.json", "{}");
  // A megabyte without a line feed, then a long line ending in a valid name, then a real job.
  const std::string input = std::string(1 << 20, 'x') + "\n" + std::string(300, '-') + "request-1.json\r\nrequest-1.json\n";
  EXPECT_EQ(serveInput(input), invalidLine + invalidLine);
  EXPECT_EQ(jobs_, 1);
  EXPECT_EQ(serveInput("request-1.json" + std::string(1 << 16, ' ')), invalidLine) << "an unterminated last line";
}

TEST_F(ServiceTest, RefusedLinesPrintInvalidInputAndTouchNothing) {
  write("request-1.json", R"({"a":1})");
  const std::string printed = serveInput(
      "request-.json\nrequest-1.json \nREQUEST-1.json\nrequest-1.JSON\nrequest-1.json.txt\nsub/request-1.json\n\n");
  std::string expected;
  for (int i = 0; i < 7; ++i) expected += invalidLine;
  EXPECT_EQ(printed, expected);
  EXPECT_EQ(entries(), 1u);
  EXPECT_EQ(jobs_, 0);
}

TEST_F(ServiceTest, AnswersWithPhaseAndResponseKeepingLeadingZeros) {
  write("request-007.json", R"({"kind":"x/y"})");
  int status = -1;
  EXPECT_EQ(serveInput("request-007.json\n", &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read("response-007.json"), R"({"ok":true,"result":{"echo":{"kind":"x\/y"}}})");
  EXPECT_EQ(read("phase-007.json"), R"({"phase":"running"})");
  EXPECT_FALSE(exists("response-7.json"));
}

TEST_F(ServiceTest, AcceptsCrlfAndAFinalLineWithoutEnding) {
  write("request-1.json", "{}");
  write("request-2.json", "{}");
  EXPECT_EQ(serveInput("request-1.json\r\nrequest-2.json"), "");
  EXPECT_TRUE(exists("response-1.json"));
  EXPECT_TRUE(exists("response-2.json"));
  EXPECT_EQ(jobs_, 2);
}

TEST_F(ServiceTest, FailuresBecomeResponseDictionaries) {
  write("request-1.json", R"({"fail":true})");
  write("request-2.json", R"({"throw":true})");
  write("request-3.json", R"({"oom":true})");
  serveInput("request-1.json\nrequest-2.json\nrequest-3.json\n");
  EXPECT_EQ(read("response-1.json"),
            R"({"error":"No foreground subject was found.","error_code":"no_foreground","ok":false})");
  EXPECT_EQ(read("response-2.json") + "\n", invalidLine);
  EXPECT_EQ(read("response-3.json"),
            R"({"error":"Native Cut Out could not finish.","error_code":"native_failure","ok":false})");
}

TEST_F(ServiceTest, RefusesRequestFilesThatAreNotSmallRegularJsonObjects) {
  write("target.json", "{}");
  fs::create_symlink(dir_ / "target.json", dir_ / "request-1.json");
  write("request-2.json", "");
  fs::create_directory(dir_ / "request-3.json");
  write("request-4.json", "[1,2]");
  write("request-5.json", "{\"a\":");
  write("request-7.json", "{\"a\":1} trailing");
  // A FIFO nobody writes to: opening it must not wait for a writer.
  ASSERT_EQ(::mkfifo((dir_ / "request-8.json").c_str(), 0600), 0);
  serveInput("request-1.json\nrequest-2.json\nrequest-3.json\nrequest-4.json\nrequest-5.json\nrequest-6.json\nrequest-7.json\nrequest-8.json\n");
  for (const char* number : {"1", "2", "3", "4", "5", "6", "7", "8"}) {
    EXPECT_EQ(read(std::string("response-") + number + ".json") + "\n", invalidLine) << number;
  }
  EXPECT_EQ(jobs_, 0);
}

TEST_F(ServiceTest, ReadsRequestsUpToTheSizeLimit) {
  const auto padded = [](size_t size) {
    std::string text = "{\"pad\":\"";
    text += std::string(size - text.size() - 2, 'x');
    return text + "\"}";
  };
  write("request-1.json", padded(static_cast<size_t>(maximumRequestBytes)));
  write("request-2.json", padded(static_cast<size_t>(maximumRequestBytes) + 1));
  serveInput("request-1.json\nrequest-2.json\n");
  EXPECT_EQ(parseJsonObject(read("response-1.json"))["ok"], true);
  EXPECT_EQ(read("response-2.json") + "\n", invalidLine);
}

TEST_F(ServiceTest, UnsavableResponsePrintsExportFailedAndServesOn) {
  write("request-1.json", "{}");
  write("request-2.json", "{}");
  fs::create_directory(dir_ / "response-1.json");
  EXPECT_EQ(serveInput("request-1.json\nrequest-2.json\n"), exportFailedLine);
  EXPECT_TRUE(fs::is_directory(dir_ / "response-1.json"));
  EXPECT_TRUE(exists("response-2.json"));
}

TEST_F(ServiceTest, PhaseFailureAnswersInvalidInput) {
  write("request-1.json", "{}");
  fs::create_directory(dir_ / "phase-1.json");
  serveInput("request-1.json\n");
  EXPECT_EQ(read("response-1.json") + "\n", invalidLine);
}

TEST_F(ServiceTest, SameNameTwiceRunsTwice) {
  write("request-1.json", "{}");
  serveInput("request-1.json\nrequest-1.json\n");
  EXPECT_EQ(jobs_, 2);
  EXPECT_EQ(entries(), 3u);  // request, phase, response: no temporary files left
}

TEST_F(ServiceTest, ImmediateEndOfInputExitsQuietly) {
  int status = -1;
  EXPECT_EQ(serveInput("", &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(entries(), 0u);
}

TEST_F(ServiceTest, RefusedDirectoryExitsTwoWithoutReading) {
  write("file", "x");
  for (const fs::path& directory : {dir_ / "file", dir_ / "missing"}) {
    int in[2], out[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    ASSERT_EQ(::write(in[1], "request-1.json\n", 15), 15);
    ::close(in[1]);
    EXPECT_EQ(serve(directory, in[0], out[1], [](const Json&, const PhaseCallback&) { return Json::object(); }), 2);
    ::close(out[1]);
    char buffer[512];
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0))), invalidLine);
    EXPECT_EQ(::read(in[0], buffer, sizeof buffer), 15) << "standard input must stay unread";
    ::close(in[0]);
    ::close(out[0]);
  }
}

}  // namespace
}  // namespace rezoro::cutout
