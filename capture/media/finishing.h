#pragma once

#include <optional>

#include "capture/contract/capture_failure.h"
#include "capture/media/media_writer.h"

namespace rezoro::capture {

// The recorder's finishing step, run on its queue once the stream has confirmed its stop.
// `recordingOpen` is false once the recorder has delivered its result; then nothing happens.
// Otherwise exactly one result goes to `deliver`: the failure noted while recording, else
// recordingFailed when stopping the stream reported an error, else exportFailed without a media
// writer, else whatever media->finish(deliver, toQueue) ends with (see MediaWriter::finish for the
// thread it arrives on, and for the movie's end and the success dictionary).
void runFinishingStep(bool recordingOpen, std::optional<CaptureFailure> failure, bool stopFailed,
                      MediaWriter* media, CaptureCompletion deliver, QueueHop toQueue);

}  // namespace rezoro::capture
