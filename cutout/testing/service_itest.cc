// The real rezoro-cutout service as a child process, with the real model, on real and broken images.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/json_line.h"
#include "common/json_reader.h"
#include "common/uuid.h"
#include "cutout/testing/hostile_service.h"

extern char** environ;

namespace rezoro::cutout {
namespace {

namespace fs = std::filesystem;

const fs::path photo = fs::path(REZORO_DEPS_DIR) / "opencv-doc" / "messi5.jpg";

struct ServiceRun {
  int status = -1;
  std::string printed;
};

// Runs `rezoro-cutout --serve directory` with `input` on its standard input.
ServiceRun serveInChild(const fs::path& directory, const std::string& input) {
  int in[2], out[2];
  EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const std::string program = std::string(REZORO_BIN_DIR) + "/rezoro-cutout";
  const std::string dir = directory.string();
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--serve"), const_cast<char*>(dir.c_str()),
                  nullptr};
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  std::thread feeder([&] {
    // A refused directory leaves standard input unread: the write then fails with EPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    [[maybe_unused]] const auto n = ::write(in[1], input.data(), input.size());
    ::close(in[1]);
  });
  ServiceRun run;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) run.printed.append(buffer, size_t(n));
  ::close(out[0]);
  feeder.join();
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

double pixelAt(VipsImage* image, int x, int y) {
  double* values = nullptr;
  int count = 0;
  if (vips_getpoint(image, &values, &count, x, y, nullptr) != 0 || count < 1) {
    ADD_FAILURE() << "no pixel at " << x << "," << y;
    return -1;
  }
  const double value = values[0];
  g_free(values);
  return value;
}

class ServiceEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(fs::exists(photo)) << "run scripts/setup.sh";
    ASSERT_EQ(VIPS_INIT("service_itest"), 0);
  }
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("rezoro-serve-" + newUuidString());
    fs::create_directory(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  void request(const std::string& number, const fs::path& path, const fs::path& destination) {
    const Json body = {{"kind", "native_cutout"}, {"path", path.string()}, {"destination", destination.string()}};
    std::ofstream(dir_ / ("request-" + number + ".json")) << body.dump();
  }
  Json answer(const std::string& number) const { return parseJsonObject(readFile(dir_ / ("response-" + number + ".json"))); }

  // Saves a flat grey picture.
  fs::path flatPicture() const {
    VipsImage* black = nullptr;
    VipsImage* grey = nullptr;
    vips_black(&black, 640, 480, "bands", 3, nullptr);
    vips_linear1(black, &grey, 1.0, 128.0, nullptr);
    VipsImage* bytes = nullptr;
    vips_cast_uchar(grey, &bytes, nullptr);
    const fs::path out = dir_ / "flat.png";
    EXPECT_EQ(vips_pngsave(bytes, out.c_str(), nullptr), 0);
    for (VipsImage* image : {black, grey, bytes}) g_object_unref(image);
    return out;
  }

  fs::path dir_;
};

TEST_F(ServiceEndToEnd, CutsOutARealPhotoAndRefusesUnsafeDestinations) {
  request("1", photo, dir_ / "mask.png");
  request("2", photo, photo);
  fs::copy_file(photo, dir_ / "input.jpg");
  fs::create_symlink(dir_ / "input.jpg", dir_ / "link.png");
  request("3", dir_ / "input.jpg", dir_ / "link.png");
  request("4", photo, dir_ / "missing" / "mask.png");
  const auto run = serveInChild(dir_, "request-1.json\nrequest-2.json\nrequest-3.json\nrequest-4.json");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.printed, "");

  const Json first = answer("1");
  ASSERT_EQ(first["ok"], true) << first.dump();
  const Json& result = first["result"];
  EXPECT_EQ(result["recovery_mode"], "none");
  EXPECT_EQ(result["mask_size"], Json({548, 342}));
  EXPECT_EQ(result["mask_path"], (dir_ / "mask.png").string());
  EXPECT_EQ(readFile(dir_ / "phase-1.json"), R"({"phase":"running"})");

  VipsImage* mask = vips_image_new_from_file((dir_ / "mask.png").c_str(), nullptr);
  ASSERT_NE(mask, nullptr);
  EXPECT_EQ(vips_image_get_bands(mask), 1);
  EXPECT_EQ(vips_image_get_format(mask), VIPS_FORMAT_UCHAR);
  EXPECT_GE(pixelAt(mask, 250, 170), 128.0);  // the player's body
  EXPECT_LT(pixelAt(mask, 5, 5), 128.0);      // the stands
  EXPECT_LT(pixelAt(mask, 540, 5), 128.0);
  g_object_unref(mask);

  for (const char* number : {"2", "3", "4"}) EXPECT_EQ(answer(number)["error_code"], "invalid_input") << number;
  EXPECT_EQ(readFile(dir_ / "input.jpg"), readFile(photo));
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(ServiceEndToEnd, AnImageWithNothingInItEndsAsTheRecoveryFailure) {
  request("1", flatPicture(), dir_ / "mask.png");
  serveInChild(dir_, "request-1.json\n");
  EXPECT_EQ(answer("1")["error_code"], "no_foreground") << answer("1").dump();
  EXPECT_FALSE(fs::exists(dir_ / "mask.png"));
}

TEST_F(ServiceEndToEnd, MalformedImagesAreAnsweredAndTheServiceGoesOn) {
  const std::string jpeg = readFile(photo);
  std::ofstream(dir_ / "truncated.jpg", std::ios::binary) << jpeg.substr(0, jpeg.size() / 2);
  std::ofstream(dir_ / "text.png") << "this is not a picture\n";
  // A PNG whose compressed image data is damaged after the header.
  const fs::path png = flatPicture();
  std::string bytes = readFile(png);
  const auto idat = bytes.find("IDAT");
  ASSERT_NE(idat, std::string::npos);
  for (size_t i = idat + 8; i < std::min(bytes.size() - 12, idat + 64); ++i) bytes[i] = char(bytes[i] ^ 0x5a);
  std::ofstream(dir_ / "corrupt.png", std::ios::binary) << bytes;

  request("1", dir_ / "truncated.jpg", dir_ / "m1.png");
  request("2", dir_ / "text.png", dir_ / "m2.png");
  request("3", dir_ / "corrupt.png", dir_ / "m3.png");
  request("4", photo, dir_ / "m4.png");
  const auto run = serveInChild(dir_, "request-1.json\nrequest-2.json\nrequest-3.json\nrequest-4.json\n");
  EXPECT_EQ(run.status, 0);
  for (const char* number : {"1", "2", "3"}) {
    const Json reply = answer(number);
    EXPECT_EQ(reply["ok"], false) << number;
    EXPECT_EQ(reply.size(), 3u) << reply.dump();
  }
  EXPECT_EQ(answer("2")["error_code"], "invalid_input");
  EXPECT_EQ(answer("4")["ok"], true);
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
  }
}

TEST_F(ServiceEndToEnd, HostileRequestsBetweenRealJobsChangeNothing) {
  // FIFOs, links, directories, devices, truncated and oversized headers, SVG/PDF/text dressed as
  // photos, non-UTF-8 names and overlong lines, with real jobs first, between and last.
  const testing::HostileRunReport report =
      testing::runHostileService(fs::path(REZORO_BIN_DIR) / "rezoro-cutout", photo, dir_, 60, 30);
  for (const auto& problem : report.problems) ADD_FAILURE() << problem;
  EXPECT_EQ(report.realJobs, 3);
  EXPECT_EQ(report.standardError, "");
  EXPECT_LE(report.descriptorsAtEnd, report.descriptorsAfterFirstJob);
}

}  // namespace
}  // namespace rezoro::cutout
