#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/json_line.h"
#include "cutout/segmentation/foreground_engine.h"

namespace rezoro::cutout {

// Runs the request service on a directory and returns the exit status.
using ServeFunction = std::function<int(const std::filesystem::path& directory)>;

// The program's command line without the program's own path: "--probe" alone probes, "--serve" and a
// directory hands the absolute, lexically normalised directory to `serve`; anything else prints the
// invalid-input line. Every line goes to `outputFd`. Returns the exit status (0, 1 or 2).
int cutoutMain(const std::vector<std::string>& arguments, ForegroundEngine& engine, int outputFd,
               const ServeFunction& serve);

// The probe's answer: {"backend":"apple_vision","ok":true,"revision":3} when the engine can run
// here, otherwise a failure dictionary. Never throws and never runs the network.
Json probeAnswer(ForegroundEngine& engine);

}  // namespace rezoro::cutout
