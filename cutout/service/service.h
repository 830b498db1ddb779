#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "common/json_line.h"

namespace rezoro::cutout {

// Reports a job's phase ("loading", "running"); throws when the phase file cannot be written.
using PhaseCallback = std::function<void(std::string_view phase)>;
// Runs one parsed request and returns its result dictionary; throws CutoutFailure or any other error.
using JobRunner = std::function<Json(const Json& request, const PhaseCallback& phase)>;

// The longest request file name the service accepts: the longest name a file can have. Longer
// input lines are refused without being held in memory.
inline constexpr size_t maximumRequestNameBytes = 255;

// Whether `line` names a request file: "request-", one or more ASCII digits, ".json", nothing else,
// at most maximumRequestNameBytes long.
bool isRequestFileName(std::string_view line);

// Reads and parses one request file: no symbolic link as the last component, a regular file of 1 to
// maximumRequestBytes bytes read in one call, holding one JSON object. A FIFO or device is refused
// without waiting for a writer. Throws CutoutFailure invalidInput on each refusal and JsonReadError
// for text that is not a JSON object.
Json readRequest(const std::filesystem::path& path);

// Serves request names read from `inputFd` until its end, answering each job in `directory` with
// phase and response files and printing refused names and unsaved answers as JSON lines on
// `outputFd`. A job that runs out of memory is answered with nativeFailure. Returns 0 at the end of input, 2 (having read nothing) when `directory` is not a
// writable directory.
int serve(const std::filesystem::path& directory, int inputFd, int outputFd, const JobRunner& runJob);

}  // namespace rezoro::cutout
