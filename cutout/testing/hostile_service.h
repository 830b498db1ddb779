#pragma once
// Drives a real `rezoro-cutout --serve` process with hostile requests between real jobs and reports
// what a parent could observe: the answers, the lines printed, standard error, the service's open
// descriptors and any temporary file left behind. Used by the integration test (a few dozen
// requests) and by service_hostile_bench (hundreds).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/json_line.h"
#include "common/json_reader.h"

extern char** environ;

namespace rezoro::cutout::testing {

struct HostileRunReport {
  int realJobs = 0;
  int hostileRequests = 0;
  std::vector<std::string> problems;  // every broken promise, one sentence each
  size_t descriptorsAfterFirstJob = 0;
  size_t descriptorsAtEnd = 0;
  std::string standardError;
  int exitStatus = -1;
  double seconds = 0;
};

namespace hostile_detail {

namespace fs = std::filesystem;

inline std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline size_t openDescriptors(pid_t pid) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) ++count;
  return count;
}

// A PNG claiming width × height (8-bit RGB) whose image data is a few bytes: its header reads as
// valid, its pixels are not there.
inline std::string pngHeaderClaiming(uint32_t width, uint32_t height) {
  const auto bigEndian = [](std::string& into, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) into.push_back(char((value >> shift) & 0xff));
  };
  std::string bytes("\x89PNG\r\n\x1a\n", 8);
  const auto chunk = [&](const std::string& typeAndData) {
    bigEndian(bytes, uint32_t(typeAndData.size() - 4));
    bytes += typeAndData;
    uint32_t crc = 0xffffffffu;
    for (const char c : typeAndData) {
      crc ^= static_cast<unsigned char>(c);
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    bigEndian(bytes, ~crc);
  };
  std::string header = "IHDR";
  bigEndian(header, width);
  bigEndian(header, height);
  chunk(header + std::string("\x08\x02\0\0\0", 5));
  chunk(std::string("IDAT\x78\x9c\x63\x00\x00\x00\x01\x00\x01", 13));  // zlib stream of one zero byte
  chunk("IEND");
  return bytes;
}

// One hostile request: what to put on standard input, and what must come of it: a response with
// `code` ("" for any failure), or a printed invalid-input line when `printed`.
struct Hostile {
  std::string line;
  std::string code;
  bool printed = false;
};

class Scenario {
 public:
  Scenario(fs::path directory, fs::path photo) : dir_(std::move(directory)), photo_(std::move(photo)) {
    const std::string jpeg = fileText(photo_);
    writeText(dir_ / "truncated.jpg", jpeg.substr(0, jpeg.size() / 3));
    writeText(dir_ / "huge.png", pngHeaderClaiming(100000, 100000));
    writeText(dir_ / "wide.png", pngHeaderClaiming(64000001, 1));
    writeText(dir_ / "drawing.jpg",
              R"(<svg xmlns="http://www.w3.org/2000/svg" width="640" height="480"><circle r="99"/></svg>)");
    writeText(dir_ / "page.png", "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                                 "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                                 "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 64 64]>>endobj\n"
                                 "trailer<</Root 1 0 R>>\n%%EOF\n");
    writeText(dir_ / "notes.jpg", "these are notes, not a photo\n");
    fs::create_directory(dir_ / "folder.jpg");
    ::mkfifo((dir_ / "pipe.jpg").c_str(), 0600);
    fs::create_symlink(dir_ / "pipe.jpg", dir_ / "link-to-pipe.jpg");
  }

  // The request file and line of a real job on the photo, numbered `number`.
  std::string realJob(int number) {
    request(number, photo_.string());
    return "request-" + std::to_string(number) + ".json";
  }

  // The hostile request `number`, of kind number % kinds.
  Hostile hostile(int number) {
    const std::string name = "request-" + std::to_string(number) + ".json";
    const fs::path file = dir_ / name;
    switch (number % 16) {
      case 0: ::mkfifo(file.c_str(), 0600); return {name, "invalid_input"};
      case 1:
        realJob(1000000 + number);
        fs::create_symlink(dir_ / ("request-" + std::to_string(1000000 + number) + ".json"), file);
        return {name, "invalid_input"};
      case 2: fs::create_directory(file); return {name, "invalid_input"};
      case 3: request(number, (dir_ / "pipe.jpg").string()); return {name, "invalid_input"};
      case 4: request(number, (dir_ / "link-to-pipe.jpg").string()); return {name, "invalid_input"};
      case 5: request(number, (dir_ / "truncated.jpg").string()); return {name, ""};
      case 6: request(number, (dir_ / "huge.png").string()); return {name, "image_too_large"};
      case 7: request(number, (dir_ / "wide.png").string()); return {name, "image_too_large"};
      case 8: request(number, (dir_ / "drawing.jpg").string()); return {name, "invalid_input"};
      case 9: request(number, (dir_ / "page.png").string()); return {name, "invalid_input"};
      case 10: request(number, (dir_ / "notes.jpg").string()); return {name, "invalid_input"};
      case 11: request(number, (dir_ / "folder.jpg").string()); return {name, "invalid_input"};
      case 12: request(number, "/dev/zero"); return {name, "invalid_input"};
      case 13:
        // A request whose path is not UTF-8 is no JSON text at all.
        writeText(file, "{\"kind\":\"native_cutout\",\"path\":\"" + (dir_ / "ph\xff\xfeoto.jpg").string() +
                            "\",\"destination\":\"" + (dir_ / "m.png").string() + "\"}");
        return {name, "invalid_input"};
      case 14: return {"request-\xff\xfe.json", "", true};
      default: return {std::string(200000, 'r'), "", true};
    }
  }

 private:
  void request(int number, const std::string& input) {
    const Json body{{"kind", "native_cutout"},
                    {"path", input},
                    {"destination", (dir_ / ("mask-" + std::to_string(number) + ".png")).string()}};
    writeText(dir_ / ("request-" + std::to_string(number) + ".json"), body.dump());
  }

  fs::path dir_;
  fs::path photo_;
};

// A child process with pipes on its standard input, output and error; output and error are
// collected by threads so that the child never blocks on them.
class ServiceProcess {
 public:
  ServiceProcess(const fs::path& program, const fs::path& directory) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    const std::string programText = program.string(), dir = directory.string();
    char* argv[] = {const_cast<char*>(programText.c_str()), const_cast<char*>("--serve"),
                    const_cast<char*>(dir.c_str()), nullptr};
    if (posix_spawn(&pid_, programText.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input_ = in[1];
    outputReader_ = std::thread([this, fd = out[0]] { drain(fd, output_); });
    errorReader_ = std::thread([this, fd = err[0]] { drain(fd, error_); });
  }
  ~ServiceProcess() {
    closeInput();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool send(const std::string& line) {
    const std::string text = line + "\n";
    for (size_t offset = 0; offset < text.size();) {
      const ssize_t n = ::write(input_, text.data() + offset, text.size() - offset);
      if (n <= 0) return false;
      offset += size_t(n);
    }
    return true;
  }
  void closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }
  // Waits for the exit and the end of both outputs; returns the exit status, -1 for a signal.
  int wait() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    if (outputReader_.joinable()) outputReader_.join();
    if (errorReader_.joinable()) errorReader_.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& output() const { return output_; }
  const std::string& error() const { return error_; }

 private:
  static void drain(int fd, std::string& into) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) into.append(buffer, size_t(n));
    ::close(fd);
  }

  pid_t pid_ = -1;
  int input_ = -1;
  std::string output_, error_;
  std::thread outputReader_, errorReader_;
};

// Waits until `path` exists, at most `limit`.
inline bool awaitFile(const fs::path& path, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!fs::exists(fs::symlink_status(path))) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace hostile_detail

// Serves `hostileCount` hostile requests, with a real job on `photo` first, after every
// `realEvery` hostile ones and last. A real job is correct when it succeeds with the same mask
// bytes as the first one. `directory` must be empty and writable.
inline HostileRunReport runHostileService(const std::filesystem::path& program, const std::filesystem::path& photo,
                                          const std::filesystem::path& directory, int hostileCount, int realEvery) {
  namespace fs = std::filesystem;
  using namespace hostile_detail;
  const auto started = std::chrono::steady_clock::now();
  HostileRunReport report;
  Scenario scenario(directory, photo);
  ServiceProcess service(program, directory);
  if (service.pid() <= 0) {
    report.problems.push_back("the service did not start");
    return report;
  }
  constexpr auto jobLimit = std::chrono::seconds(300);
  std::vector<int> realNumbers{0};
  service.send(scenario.realJob(0));
  if (!awaitFile(directory / "response-0.json", jobLimit)) report.problems.push_back("the first real job had no answer");
  report.descriptorsAfterFirstJob = openDescriptors(service.pid());
  const std::string firstMask = fileText(directory / "mask-0.png");

  std::vector<std::pair<int, Hostile>> hostiles;
  size_t expectedPrinted = 0;
  for (int i = 1; i <= hostileCount; ++i) {
    Hostile request = scenario.hostile(i);
    service.send(request.line);
    expectedPrinted += request.printed ? 1 : 0;
    hostiles.emplace_back(i, std::move(request));
    if (i % realEvery == 0 || i == hostileCount) {
      const int number = 10000000 + i;
      service.send(scenario.realJob(number));
      realNumbers.push_back(number);
    }
  }
  if (!awaitFile(directory / ("response-" + std::to_string(realNumbers.back()) + ".json"), jobLimit)) {
    report.problems.push_back("the last real job had no answer");
  }
  report.descriptorsAtEnd = openDescriptors(service.pid());
  service.closeInput();
  report.exitStatus = service.wait();
  report.standardError = service.error();
  report.realJobs = int(realNumbers.size());
  report.hostileRequests = hostileCount;

  const auto problem = [&](const std::string& text) { report.problems.push_back(text); };
  for (const int number : realNumbers) {
    const std::string n = std::to_string(number);
    try {
      const Json answer = parseJsonObject(fileText(directory / ("response-" + n + ".json")));
      if (answer.value("ok", false) != true) problem("real job " + n + " failed: " + answer.dump());
      if (fileText(directory / ("mask-" + n + ".png")) != firstMask) problem("real job " + n + " wrote another mask");
    } catch (const std::exception&) {
      problem("real job " + n + " has no readable answer");
    }
  }
  for (const auto& [number, request] : hostiles) {
    const fs::path responseFile = directory / ("response-" + std::to_string(number) + ".json");
    if (request.printed) {
      if (fs::exists(responseFile)) problem("refused line " + std::to_string(number) + " was answered in a file");
      continue;
    }
    try {
      const Json answer = parseJsonObject(fileText(responseFile));
      const bool failed = answer.size() == 3 && answer.value("ok", true) == false;
      if (!failed || (!request.code.empty() && answer.value("error_code", "") != request.code)) {
        problem("hostile request " + std::to_string(number) + " answered " + answer.dump());
      }
    } catch (const std::exception&) {
      problem("hostile request " + std::to_string(number) + " has no readable answer");
    }
  }
  std::string invalidLines;
  for (size_t i = 0; i < expectedPrinted; ++i) {
    invalidLines += R"({"error":"Cut Out received an invalid image or request.","error_code":"invalid_input","ok":false})"
                    "\n";
  }
  if (service.output() != invalidLines) problem("standard output was not one invalid-input line per refused line");
  if (!report.standardError.empty()) problem("standard error was not empty");
  if (report.exitStatus != 0) problem("the service exited with " + std::to_string(report.exitStatus));
  if (report.descriptorsAtEnd > report.descriptorsAfterFirstJob) problem("open descriptors grew");
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().filename().string().starts_with(".")) problem("left behind " + entry.path().string());
  }
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return report;
}

}  // namespace rezoro::cutout::testing
