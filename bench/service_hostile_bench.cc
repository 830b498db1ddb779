// Feeds one cut-out service hundreds of hostile requests (FIFOs, links, directories, devices,
// truncated and oversized headers, SVG/PDF/text dressed as photos, non-UTF-8 names, overlong
// lines) between real jobs, and prints what was answered and every broken promise.
//
//   build/bin/service_hostile_bench [hostile=500] [real job after every=100] [image=messi5.jpg]
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cutout/testing/hostile_service.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const int hostile = argc > 1 ? std::atoi(argv[1]) : 500;
  const int every = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
  const fs::path photo = argc > 3 ? fs::path(argv[3]) : fs::path(REZORO_BENCH_DEPS_DIR) / "opencv-doc" / "messi5.jpg";
  const fs::path program = fs::read_symlink("/proc/self/exe").parent_path() / "rezoro-cutout";
  std::string pattern = (fs::temp_directory_path() / "rezoro-hostile-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const auto report = rezoro::cutout::testing::runHostileService(program, photo, pattern, hostile, every);
  std::error_code error;
  fs::remove_all(pattern, error);
  std::printf("hostile requests %d, real jobs %d, %.1f s\n", report.hostileRequests, report.realJobs, report.seconds);
  std::printf("open descriptors after the first job %zu, at the end %zu\n", report.descriptorsAfterFirstJob,
              report.descriptorsAtEnd);
  std::printf("standard error %zu bytes, exit status %d\n", report.standardError.size(), report.exitStatus);
  std::printf("broken promises %zu\n", report.problems.size());
  for (const auto& problem : report.problems) std::printf("  %s\n", problem.c_str());
  return report.problems.empty() ? 0 : 1;
}
