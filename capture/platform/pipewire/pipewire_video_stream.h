#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/platform/pipewire/video_frame.h"
#include "common/unique_fd.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct spa_buffer;

namespace rezoro::capture {

// A PipeWire video stream (libpipewire) that takes one node's pictures through a connection the
// ScreenCast portal handed out. Shared-memory buffers only (MemFd, MemPtr), in BGRx, BGRA, RGBx or
// RGBA. Runs its own thread; the library's own logging is silenced.
//
// Until a frame handler is set, the newest picture is kept (copied), and handed to the handler as
// soon as it is set, stamped then: a still screen sends no more pictures, and the handler must not
// start empty. Buffers the producer marks corrupted, empty ones and ones whose size does not match
// the format are skipped.
// The picture in a buffer of the agreed size and order, stamped with the producer's presentation
// time when it is near `now` (CLOCK_MONOTONIC seconds) and with `now` otherwise. None when the
// buffer is to be skipped: not shared memory, unmapped, empty, marked corrupted, or smaller than
// the picture.
std::optional<VideoFrame> frameInBuffer(const spa_buffer& buffer, int width, int height, PixelOrder order,
                                        double now);

class PipeWireVideoStream {
 public:
  using FrameHandler = std::function<void(const VideoFrame&)>;  // on the stream's thread
  using FailureHandler = std::function<void(const std::string&)>;  // on the stream's thread, once

  // Connects to `node` over `remote` and waits, at most `timeoutSeconds`, until a format is agreed.
  static std::unique_ptr<PipeWireVideoStream> connect(UniqueFd remote, uint32_t node, double timeoutSeconds,
                                                      std::string& error);
  ~PipeWireVideoStream();  // disconnects and ends the thread; no handler runs afterwards
  PipeWireVideoStream(const PipeWireVideoStream&) = delete;
  PipeWireVideoStream& operator=(const PipeWireVideoStream&) = delete;

  // The agreed picture size in pixels.
  int width() const { return width_; }
  int height() const { return height_; }

  // Sets (or, with empty functions, clears) the handlers. Thread-safe.
  void setHandlers(FrameHandler onFrame, FailureHandler onFailure);

  struct Private;

 private:
  PipeWireVideoStream() = default;

  std::unique_ptr<Private> private_;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace rezoro::capture
