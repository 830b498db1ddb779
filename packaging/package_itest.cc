// The Debian package as a user gets it: unpacked with dpkg -x into a private folder and its programs
// run from there, on a sample photo copied into that folder and on a private display and sound
// server. Nothing of the build tree is on their way: the runtime and the models must come from the
// unpacked prefix.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/test_basics.h"
#include "common/json_line.h"
#include "common/json_reader.h"
#include "common/unique_fd.h"
#include "cutout/platform/onnx/isnet_engine.h"
#include "cutout/platform/vips/vips_support.h"
#include "cutout/segmentation/gray_mask.h"

namespace rezoro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using capture::testing::ChildProcess;
using capture::testing::commandOutput;
using capture::testing::readWholeFile;

struct CommandRun {
  int status = -1;
  std::string output;  // standard output and standard error
};

CommandRun runCommand(const std::string& command) {
  CommandRun run;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, count);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// The mask PNG at `path` as a GrayMask (empty when it does not decode as one 8-bit band).
cutout::GrayMask readMask(const fs::path& path) {
  cutout::startVips();
  const cutout::VipsImagePtr image(vips_image_new_from_file(path.c_str(), nullptr));
  if (!image || vips_image_get_bands(image.get()) != 1 || vips_image_get_format(image.get()) != VIPS_FORMAT_UCHAR) {
    return {};
  }
  size_t size = 0;
  const auto pixels = cutout::pixelsOf(image.get(), size);
  cutout::GrayMask mask{vips_image_get_width(image.get()), vips_image_get_height(image.get()), {}};
  mask.bytes.assign(pixels.get(), pixels.get() + size);
  return mask;
}

// The 16-bit samples of a WAV file's data chunk.
std::vector<int16_t> waveSamples(const fs::path& path) {
  const std::string bytes = readWholeFile(path);
  size_t at = 12;  // after "RIFF", the size and "WAVE"
  while (at + 8 <= bytes.size()) {
    uint32_t chunkSize = 0;
    std::memcpy(&chunkSize, bytes.data() + at + 4, 4);
    if (bytes.compare(at, 4, "data") == 0) {
      const size_t count = std::min<size_t>(chunkSize, bytes.size() - at - 8) / 2;
      std::vector<int16_t> samples(count);
      std::memcpy(samples.data(), bytes.data() + at + 8, count * 2);
      return samples;
    }
    at += 8 + chunkSize + (chunkSize & 1);
  }
  return {};
}

class UnpackedPackage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder = new capture::testing::TempDir;
    unpacked = runCommand("dpkg -x " + quoted(REZORO_DEB_FILE) + " " + quoted(folder->path() / "root"));
  }
  static void TearDownTestSuite() {
    delete folder;
    folder = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(unpacked.status, 0) << REZORO_DEB_FILE << ": " << unpacked.output;
  }

  static fs::path root() { return folder->path() / "root"; }
  static fs::path program(const std::string& name) { return root() / "usr" / "bin" / name; }

  // A job of `rezoro-cutout --serve` (the program at `cutout`) on `photo`: the response object,
  // with the mask at `mask`.
  static Json cutOut(const fs::path& cutout, const fs::path& photo, const fs::path& mask) {
    const fs::path jobs = folder->path() / "jobs";
    fs::create_directories(jobs);
    std::ofstream(jobs / "request-1.json") << R"({"kind":"native_cutout","path":")" << photo.string()
                                            << R"(","destination":")" << mask.string() << R"("})";
    fs::remove(jobs / "response-1.json");
    const CommandRun run = runCommand("echo request-1.json | " + quoted(cutout) + " --serve " + quoted(jobs));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "");
    return parseJsonObject(readWholeFile(jobs / "response-1.json"));
  }

  static capture::testing::TempDir* folder;
  static CommandRun unpacked;
};

capture::testing::TempDir* UnpackedPackage::folder = nullptr;
CommandRun UnpackedPackage::unpacked;

TEST_F(UnpackedPackage, LaysOutADebianPrefixWhoseProgramsFindTheirRuntimeInIt) {
  const std::string network = std::string("usr/share/rezoro/models/") + cutout::isnetModelName;
  for (const std::string file : {"usr/bin/rezoro-cutout", "usr/bin/rezoro-capture", "usr/lib/rezoro/libonnxruntime.so.1",
                                 network.c_str(), "usr/share/rezoro/models/nanodet.onnx",
                                 "usr/share/man/man1/rezoro-cutout.1.gz", "usr/share/man/man1/rezoro-capture.1.gz",
                                 "usr/share/doc/rezoro/copyright", "usr/share/doc/rezoro/changelog.gz"}) {
    EXPECT_TRUE(fs::is_regular_file(root() / file)) << file;
  }
  const std::string libraries = commandOutput("ldd " + quoted(program("rezoro-cutout")));
  EXPECT_NE(libraries.find("libonnxruntime.so.1 => " + (root() / "usr/bin/../lib/rezoro/libonnxruntime.so.1").string()),
            std::string::npos)
      << libraries;
  EXPECT_EQ(libraries.find("not found"), std::string::npos) << libraries;
}

// The package holds the networks the programs load and nothing else: the float32 original that only
// the quality benchmark reads stays in the build tree.
TEST_F(UnpackedPackage, ShipsOnlyTheNetworksTheProgramsLoad) {
  std::set<std::string> models;
  for (const auto& entry : fs::directory_iterator(root() / "usr/share/rezoro/models")) {
    models.insert(entry.path().filename().string());
  }
  EXPECT_EQ(models, (std::set<std::string>{cutout::isnetModelName, "nanodet.onnx"}));
}

TEST_F(UnpackedPackage, BothProgramsProbe) {
  const CommandRun cutout = runCommand(quoted(program("rezoro-cutout")) + " --probe");
  EXPECT_EQ(cutout.output, "{\"backend\":\"apple_vision\",\"ok\":true,\"revision\":3}\n");
  EXPECT_EQ(cutout.status, 0);

  const auto display = capture::testing::DisplayAndSound::start({.display = true, .sound = false});
  const CommandRun capture = runCommand(quoted(program("rezoro-capture")) + " --probe");
  EXPECT_EQ(capture.output,
            "{\"backend\":\"screen_capture_kit\",\"ok\":true,\"revision\":1,"
            "\"screen_permission\":true,\"supported\":true}\n");
  EXPECT_EQ(capture.status, 0);
}

TEST_F(UnpackedPackage, CutsOutTheSubjectOfASamplePhoto) {
  const fs::path photo = folder->path() / "photo.jpg";
  fs::copy_file(fs::path(REZORO_DEPS_DIR) / "opencv-doc" / "messi5.jpg", photo, fs::copy_options::overwrite_existing);
  const Json response = cutOut(program("rezoro-cutout"), photo, folder->path() / "mask.png");
  ASSERT_EQ(response["ok"], true) << response.dump();
  EXPECT_EQ(response["result"]["mask_size"], Json({548, 342}));

  // The player's shirt is subject; three corners of crowd and pitch are not.
  const cutout::GrayMask mask = readMask(folder->path() / "mask.png");
  ASSERT_EQ(mask.width, 548);
  ASSERT_EQ(mask.height, 342);
  EXPECT_GT(cutout::foregroundCoverage(mask, {215, 125, 60, 90}), 0.95);
  for (const cutout::Rect corner : {cutout::Rect{0, 0, 60, 60}, {488, 0, 60, 60}, {0, 282, 60, 60}}) {
    EXPECT_LT(cutout::foregroundCoverage(mask, corner), 0.02);
  }
}

// A prefix of its own with the unpacked programs and runtime but a models folder the test fills.
TEST_F(UnpackedPackage, AMissingOrDamagedModelIsAFailureAnswerNotACrash) {
  const fs::path prefix = folder->path() / "other" / "usr";
  fs::create_directories(prefix / "bin");
  fs::create_directories(prefix / "share" / "rezoro" / "models");
  fs::create_directory_symlink(root() / "usr" / "lib", prefix / "lib");
  fs::copy_file(program("rezoro-cutout"), prefix / "bin" / "rezoro-cutout");

  const CommandRun missing = runCommand(quoted(prefix / "bin" / "rezoro-cutout") + " --probe");
  EXPECT_EQ(missing.output,
            "{\"error\":\"Native Cut Out requires a supported Mac and macOS 14 or later.\","
            "\"error_code\":\"unsupported_hardware\",\"ok\":false}\n");
  EXPECT_EQ(missing.status, 1);

  std::ofstream(prefix / "share" / "rezoro" / "models" / cutout::isnetModelName) << "not a network";
  const fs::path photo = fs::path(REZORO_DEPS_DIR) / "opencv-doc" / "messi5.jpg";
  const Json damaged = cutOut(prefix / "bin" / "rezoro-cutout", photo, folder->path() / "unused.png");
  EXPECT_EQ(damaged["error_code"], "native_failure") << damaged.dump();
  EXPECT_FALSE(fs::exists(folder->path() / "unused.png"));
}

TEST_F(UnpackedPackage, RecordsTwoSecondsOfSystemAudio) {
  const auto world = capture::testing::DisplayAndSound::start();
  // Longer than the recording with room for a slow start on a busy machine; stopped on release.
  ChildProcess tone = world->sound().playTone(440, 10, 0.5);
  std::this_thread::sleep_for(300ms);

  const fs::path request = folder->path() / "record.json";
  const fs::path sound = folder->path() / "sound.wav";
  std::ofstream(request) << R"({"kind":"audio","destination":")" << sound.string()
                         << R"(","capture_audio":true,"duration_seconds":2,"exclude_pid":1})";
  // Standard input stays open for the whole recording: its end would stop it.
  const capture::testing::Pipe input;
  ChildProcess::Options options;
  options.output = folder->path() / "record.out";
  options.keepDescriptors = {{input.readEnd.get(), 0}};
  ChildProcess recording = ChildProcess::start({program("rezoro-capture").string(), "--record", request.string()}, options);
  ASSERT_EQ(recording.wait(20s), 0) << readWholeFile(folder->path() / "record.out");

  const Json result = parseJsonObject(readWholeFile(folder->path() / "record.out"));
  EXPECT_EQ(result["ok"], true);
  EXPECT_EQ(result["kind"], "audio");
  EXPECT_NEAR(result["duration_seconds"].get<double>(), 2.0, 0.1);
  const std::vector<int16_t> samples = waveSamples(sound);
  EXPECT_EQ(samples.size(), static_cast<size_t>(std::lround(result["duration_seconds"].get<double>() * 48000)) * 2);
  // The tone (0.5 of full scale, 0.354 RMS) in the second half, after the sound server's first buffers.
  double sum = 0;
  for (size_t i = samples.size() / 2; i < samples.size(); ++i) sum += double(samples[i]) * samples[i];
  EXPECT_GT(std::sqrt(sum / double(samples.size() - samples.size() / 2)) / 32768, 0.2);
}

TEST_F(UnpackedPackage, HardeningCheckPassesOnBothPrograms) {
  if (!REZORO_HARDENED_BUILD) GTEST_SKIP() << "configured without Debian's hardening flags (scripts/configure.sh)";
  if (runCommand("command -v hardening-check").status != 0) GTEST_SKIP() << "hardening-check (devscripts) is missing";
  // Control-flow protection (IBT/SHSTK) cannot be had on Debian 12: its C library's start files
  // carry no such note, so no executable linked there does.
  for (const char* name : {"rezoro-cutout", "rezoro-capture"}) {
    const CommandRun check = runCommand("hardening-check --nocfprotection " + quoted(program(name)));
    EXPECT_EQ(check.status, 0) << check.output;
  }
}

}  // namespace
}  // namespace rezoro
