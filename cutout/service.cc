#include "cutout/service.h"

#include <unistd.h>

#include <iostream>
#include <string>

#include "common/json_line.h"
#include "cutout/cutout_failure.h"

namespace rezoro::cutout {

int serve(const std::filesystem::path& directory) {
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error) || ::access(directory.c_str(), W_OK) != 0) {
    writeJsonLine(STDOUT_FILENO, response(CutoutFailure::invalidInput));
    return 2;
  }
  // Jobs are not served yet: every name line is refused.
  std::string line;
  while (std::getline(std::cin, line)) writeJsonLine(STDOUT_FILENO, response(CutoutFailure::invalidInput));
  return 0;
}

}  // namespace rezoro::cutout
