#pragma once

#include <optional>

#include "capture/capture_failure.h"
#include "capture/media/media_time.h"
#include "capture/media/media_writer.h"

namespace rezoro::capture {

// How long one video frame lasts: the end of the last frame, and the picture repeated at the end.
inline constexpr MediaTime frameDuration = MediaTime::make(1, 24);
// The shortest movie, in seconds.
inline constexpr double shortestVideoSeconds = 1.0 / 24.0;
// Timescale of media times made from seconds when a movie's end is computed.
inline constexpr int32_t endTimeTimescale = 60000;

// Where a movie ends, on the source clock: as long as the recording ran on the host clock
// (`hostElapsed` seconds since the first frame, taken as at least 1/24 s and at most `duration`),
// and at least one frame duration past the last written frame, but never beyond `duration` after
// the first frame.
MediaTime videoEndTime(const MediaTime& firstTime, const MediaTime& lastVideoTime, double hostElapsed,
                       double duration);

// The success dictionary of a published recording, exactly ten keys.
Json successResult(const MediaWriter& media, double duration);

// The recorder's finishing step, run on its queue once the stream has confirmed its stop.
// `recordingOpen` is false once the recorder has delivered its result; then nothing happens.
// Otherwise exactly one result goes to `deliver`: the failure noted while recording, else
// recordingFailed when stopping the stream reported an error, else exportFailed without a media
// writer, else whatever media->finish(deliver, toQueue) ends with (see MediaWriter::finish for the
// thread it arrives on).
void runFinishingStep(bool recordingOpen, std::optional<CaptureFailure> failure, bool stopFailed,
                      MediaWriter* media, CaptureCompletion deliver, QueueHop toQueue);

}  // namespace rezoro::capture
