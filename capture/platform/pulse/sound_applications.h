#pragma once

#include <vector>

#include "capture/platform/shareable_content.h"

namespace rezoro::capture {

// The processes playing into the sound server named by PULSE_SERVER or the user's default, by the
// application.process.id of its sink inputs, each once, named by application.process.binary (or
// application.name). Empty when there is no server or it does not answer within `timeoutSeconds`;
// never starts a server.
std::vector<ShareableApplication> soundApplications(double timeoutSeconds = 1.0);

// `more` appended to `applications`, leaving out processes listed already.
void addApplications(std::vector<ShareableApplication>& applications, const std::vector<ShareableApplication>& more);

}  // namespace rezoro::capture
