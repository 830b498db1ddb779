#pragma once

#include "cutout/segmentation/foreground_engine.h"

namespace rezoro::cutout {

// A new foreground request for `engine`: one device per compute stage the engine lists. The main stage takes its first GPU, or its first CPU
// on machines without one; every other stage takes its first CPU, or else its first GPU. A neural
// engine is never chosen. Throws CutoutFailure::unsupportedHardware when the devices cannot be
// queried, none are listed, the main stage is missing or a stage has no usable device.
ForegroundRequest configuredRequest(ForegroundEngine& engine);

}  // namespace rezoro::cutout
