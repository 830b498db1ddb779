// Runs many cut-out jobs through one service process and prints the per-job time, the pipeline's
// overhead over the bare network inference measured in this same run, and the service's resident
// memory after the 10th and the last job.
//
//   build/bin/service_bench [jobs=200] [image=.deps/opencv-doc/messi5.jpg]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/json_line.h"
#include "common/uuid.h"
#include "cutout/platform/onnx/onnx_model.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
  return values[index];
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// The bare network: one 1024 × 1024 inference, as the engine runs it, without decoding or masks.
double rawInferenceSeconds(rezoro::cutout::OnnxModel& model) {
  // Varied values, like a photo's: constant input would spare the network work a real image costs.
  std::vector<float> input(3 * 1024 * 1024);
  uint32_t state = 12345;
  for (float& value : input) {
    state = state * 1664525u + 1013904223u;
    value = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
  }
  const std::vector<int64_t> shape{1, 3, 1024, 1024};
  const auto start = Clock::now();
  model.run("input", input, shape, {"output"});
  return seconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const int jobs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const fs::path binDir = rezoro::cutout::executableDirectory();
  const fs::path image = fs::absolute(argc > 2 ? fs::path(argv[2]) : binDir / "../../.deps/opencv-doc/messi5.jpg");
  if (!fs::exists(image)) {
    std::fprintf(stderr, "no image at %s\n", image.c_str());
    return 1;
  }

  std::vector<double> raw;
  {
    rezoro::cutout::OnnxModel model(rezoro::cutout::installedModelPath("isnet.onnx"));
    rawInferenceSeconds(model);  // the first run pays for lazy set-up
    for (int i = 0; i < 10; ++i) raw.push_back(rawInferenceSeconds(model));
  }

  const fs::path dir = fs::temp_directory_path() / ("rezoro-service-bench-" + rezoro::newUuidString());
  fs::create_directory(dir);
  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  const std::string program = (binDir / "rezoro-cutout").string();
  const std::string dirText = dir.string();
  char* childArgv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--serve"),
                       const_cast<char*>(dirText.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, childArgv, environ) != 0) return 1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);

  std::vector<double> jobSeconds;
  std::vector<double> inferenceSeconds;
  long rssAfter10 = -1, rssAfterLast = -1;
  for (int job = 1; job <= jobs; ++job) {
    const std::string number = std::to_string(job);
    const rezoro::Json request = {{"kind", "native_cutout"},
                                  {"path", image.string()},
                                  {"destination", (dir / "mask.png").string()}};
    std::ofstream(dir / ("request-" + number + ".json")) << request.dump();
    const fs::path response = dir / ("response-" + number + ".json");
    const std::string line = "request-" + number + ".json\n";
    const auto start = Clock::now();
    if (::write(in[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
    while (!fs::exists(response)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    jobSeconds.push_back(seconds(Clock::now() - start));
    std::stringstream text;
    text << std::ifstream(response).rdbuf();
    const auto answer = rezoro::Json::parse(text.str());
    if (answer.value("ok", false) != true) {
      std::fprintf(stderr, "job %d failed: %s\n", job, text.str().c_str());
      return 1;
    }
    inferenceSeconds.push_back(answer["result"]["inference_seconds"].get<double>());
    if (job == 10) rssAfter10 = residentKiB(pid);
    if (job == jobs) rssAfterLast = residentKiB(pid);
  }
  ::close(in[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  fs::remove_all(dir);

  // The first job loads the network; steady state is what a long-lived service sees.
  const std::vector<double> steady(jobSeconds.begin() + (jobs > 1 ? 1 : 0), jobSeconds.end());
  const double median = percentile(steady, 0.5);
  const double rawMedian = percentile(raw, 0.5);
  std::printf("image                 %s\n", image.c_str());
  std::printf("jobs                  %d (first job, with model load: %.3f s)\n", jobs, jobSeconds.front());
  std::printf("job time median       %.3f s\n", median);
  std::printf("job time p95          %.3f s\n", percentile(steady, 0.95));
  std::printf("inference_seconds     %.3f s median (as reported by the service)\n", percentile(inferenceSeconds, 0.5));
  std::printf("raw network median    %.3f s (1024x1024, same run, this process)\n", rawMedian);
  std::printf("pipeline overhead     %.1f %% over the raw network\n", (median / rawMedian - 1.0) * 100.0);
  std::printf("RSS after job 10      %.1f MiB\n", static_cast<double>(rssAfter10) / 1024.0);
  std::printf("RSS after job %-3d     %.1f MiB\n", jobs, static_cast<double>(rssAfterLast) / 1024.0);
  if (jobs >= 10 && rssAfter10 > 0) {
    std::printf("RSS growth            %.2f %%\n",
                (static_cast<double>(rssAfterLast) / static_cast<double>(rssAfter10) - 1.0) * 100.0);
  }
  return 0;
}
