#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/platform/shareable_content.h"
#include "capture/samples/media_sample.h"
#include "capture/samples/media_time.h"

namespace rezoro::capture {

class SerialQueue;

// Host times and sample times share CLOCK_MONOTONIC. Sample times are stamped in microseconds:
// the least common multiple of this timescale with the others in use (24 fps, 48 kHz, 90 kHz) still
// fits a 32-bit timescale, so time arithmetic between them stays exact.
constexpr int32_t kHostTimescale = 1000000;

// The monotonic clock now, as a media time on kHostTimescale.
MediaTime hostMediaTime();
MediaTime hostMediaTime(double hostSeconds);

// One display, with the applications whose windows and audio are to be left out (each with the
// processes it started).
struct ContentFilter {
  ContentFilter(ShareableDisplay display, std::vector<ShareableApplication> excludingApplications)
      : display(std::move(display)), excludedApplications(std::move(excludingApplications)) {}
  double pointPixelScale() const { return display.pointPixelScale; }
  std::vector<pid_t> excludedProcessIDs() const {
    std::vector<pid_t> pids;
    for (const ShareableApplication& application : excludedApplications) pids.push_back(application.processID);
    return pids;
  }

  ShareableDisplay display;
  std::vector<ShareableApplication> excludedApplications;
};

// Four-character codes of pixel formats and media types, as numbers.
constexpr uint32_t fourCharCode(const char (&code)[5]) {
  return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
         (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}
constexpr uint32_t kPixelFormatBGRA = fourCharCode("BGRA");  // 1111970369
// 8-bit Y, then U and V at half width and height (rounded up), each plane's rows packed: what the
// H.264 encoder takes, so frames in it need no conversion on the way.
constexpr uint32_t kPixelFormatI420 = fourCharCode("y420");
constexpr uint32_t kMediaTypeVideo = fourCharCode("vide");
constexpr uint32_t kMediaTypeAudio = fourCharCode("soun");   // 0x736f756e

struct StreamConfiguration {
  int width = 1920;  // output frame size in pixels
  int height = 1080;
  std::optional<DisplayRect> sourceRect;  // display-local points; none = the whole display
  MediaTime minimumFrameInterval = MediaTime::make(1, 60);
  int queueDepth = 8;  // screen frames the stream lets be in flight at once
  bool showsCursor = true;
  uint32_t pixelFormat = kPixelFormatBGRA;  // kPixelFormatBGRA or kPixelFormatI420
  bool capturesAudio = false;
  int sampleRate = 48000;
  int channelCount = 2;
};

// Frame status of a screen sample; only `complete` carries new content.
enum class FrameStatus : int64_t { complete = 0, idle = 1, blank = 2, suspended = 3, started = 4, stopped = 5 };

// Pixels of one screen frame, top row first. The memory belongs to the stream's pool and goes back
// to it when the last reference is dropped.
struct ImageBuffer {
  int width = 0;
  int height = 0;
  int bytesPerRow = 0;  // of the first plane
  uint32_t pixelFormat = kPixelFormatBGRA;
  std::vector<uint8_t> bytes;
  // The producer's own note of which of its pictures these pixels hold; 0 for none yet.
  uint64_t revision = 0;

  uint8_t* baseAddress() { return bytes.data(); }
  const uint8_t* baseAddress() const { return bytes.data(); }

  // Planes: one for BGRA, three (Y, U, V) for I420.
  int planeCount() const { return pixelFormat == kPixelFormatI420 ? 3 : 1; }
  int bytesPerRowOfPlane(int plane) const { return plane == 0 ? bytesPerRow : (width + 1) / 2; }
  size_t planeOffset(int plane) const {
    return i420PlaneOffset(width, height, static_cast<size_t>(bytesPerRow), plane);
  }
  uint8_t* plane(int index) { return bytes.data() + planeOffset(index); }
  const uint8_t* plane(int index) const { return bytes.data() + planeOffset(index); }
};

struct AudioStreamFormat {
  double sampleRate = 0;
  int channelCount = 0;
  bool isFloat32 = false;  // interleaved 32-bit floats; otherwise interleaved 16-bit integers
  bool operator==(const AudioStreamFormat&) const = default;
};

// One sample of a capture stream: a screen frame or a run of audio frames. Cheap to copy: the
// payload is shared and immutable.
struct SampleBuffer {
  uint32_t mediaType = 0;       // kMediaTypeVideo or kMediaTypeAudio
  MediaTime presentationTime;   // capture time, on CLOCK_MONOTONIC (kHostTimescale)
  int64_t numSamples = 0;       // 1 for a screen frame, frames of audio otherwise

  // Screen: the first (only) attachment's frame status, and the image for a complete frame (an idle
  // frame has none).
  std::optional<int64_t> frameStatus;
  std::shared_ptr<const ImageBuffer> imageBuffer;

  // Audio: numSamples × channelCount interleaved 32-bit floats.
  std::optional<AudioStreamFormat> audioFormat;
  std::shared_ptr<const std::vector<float>> audioSamples;
};

enum class StreamOutputType : int { screen = 0, audio = 1 };

// The recorder's roles towards a stream. Samples arrive on the queue named when the output was
// added; didStopWithError arrives on a thread of the stream and should only hop.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void didOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType type) = 0;
};

class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  // The stream stopped on its own (the display or sound server went away, or the person stopped the
  // sharing: `stoppedSharing`). Reported at most once, never after stopCapture was called.
  virtual void didStopWithError(const PlatformError& error) = 0;
};

// Where a stream delivers one type of sample: the output, held weakly, and the queue it runs on.
struct OutputDestination {
  std::weak_ptr<StreamOutput> output;
  SerialQueue* queue = nullptr;
  // Posts `sample` to the output on its queue; it is dropped if the output is gone by then.
  void deliver(SampleBuffer sample, StreamOutputType type) const;
};

// addStreamOutput for a stream with at most one output of each type, added before it starts: fills
// `slot`, or says why not.
std::optional<PlatformError> attachOutput(std::optional<OutputDestination>& slot, std::weak_ptr<StreamOutput> output,
                                          SerialQueue& queue, bool startRequested);

// The queue a stream's start, stop and teardown run on, one at a time, away from the caller's queue.
// The stream's destructor closes it before anything else: work under way finishes, and nothing
// posted afterwards (a failure reported from a thread that is ending, say) runs.
class StreamControl {
 public:
  StreamControl();
  ~StreamControl();  // close()
  StreamControl(const StreamControl&) = delete;
  StreamControl& operator=(const StreamControl&) = delete;

  // Runs `work` on the queue after everything posted before it; nothing once closed. Thread-safe.
  void post(std::function<void()> work);
  // A stream starts once: the first startCapture (marked in `startRequested`) runs `start` with its
  // completion on the queue; a later one is answered there with an error.
  void postStart(bool& startRequested, ErrorCompletion completion, std::function<void(ErrorCompletion)> start);
  // Waits for the work under way and ends the queue. Must not run on the queue itself.
  void close();

 private:
  std::mutex mutex_;
  std::unique_ptr<SerialQueue> queue_;
};

// Makes `call` (another stream's startCapture or stopCapture) with a completion and waits for its
// answer: for a stream that runs another as a part of itself, on its own control queue.
std::optional<PlatformError> awaitAnswer(const std::function<void(ErrorCompletion)>& call);

// A capture of one display (and optionally the system audio). Abstract so the recorder can be
// driven by a fake in tests; the real ones are X11CaptureStream, WaylandCaptureStream and, for the
// sound alone, SystemAudioStream. Outputs and the delegate are held
// weakly: once the recorder is gone, nothing reaches it.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;

  // Delivers samples of `type` to `output` on `queue` (which must outlive the stream). Fails when an
  // output of that type is already attached or the capture has started.
  virtual std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                       StreamOutputType type,
                                                       SerialQueue& queue) = 0;

  // Both answer once, on a thread of the stream, with no error on success. startCapture fails when
  // the display or sound server cannot be used or the stream was started before; stopCapture fails
  // when the stream is not running. A completion may be empty.
  virtual void startCapture(ErrorCompletion completion) = 0;
  virtual void stopCapture(ErrorCompletion completion) = 0;

  // A stream that holds a picture back for its turn (at most one per minimum frame interval) hands
  // it over now, stamped now, when the recording is about to stop: the last change before a stop is
  // kept. None when nothing is held. Called on the screen output's queue.
  virtual std::optional<SampleBuffer> takeHeldFrame() { return std::nullopt; }
};

// The platform's screen-capture services, as the recorder uses them. Abstract for fakes; the real
// one is X11ScreenCaptureService.
class ScreenCaptureService {
 public:
  virtual ~ScreenCaptureService() = default;

  // Whether this process may read the screen. Never asks anybody.
  virtual bool preflightScreenCaptureAccess() = 0;

  // The display that the system treats as main.
  virtual uint32_t mainDisplayID() = 0;

  // Answers once, on another thread, with the content or an error.
  using ContentCompletion =
      std::function<void(std::optional<ShareableContent>, std::optional<PlatformError>)>;
  virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                   ContentCompletion completion) = 0;

  virtual std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    std::weak_ptr<StreamDelegate> delegate) = 0;

  // A service that asks the person while it gathers the content (the portal's dialog) says when
  // the question is put (`asking`) and when the grant arrives (`granted`), on a thread of its own,
  // each at most once per getShareableContent. Set before asking for content; services that ask
  // nobody never call them.
  struct PermissionSteps {
    std::function<void()> asking;
    std::function<void()> granted;
  };
  virtual void setPermissionSteps(PermissionSteps) {}
  // Cuts a content request under way short (a question nobody answered yet): it answers soon, with
  // an error. Thread-safe.
  virtual void cancelShareableContent() {}
  // The display of the last content holds what is to be recorded: a grant the service keeps for
  // later recordings (a restore token) is kept now, and only now.
  virtual void keepGrant() {}
  // The display of the last content does not hold what is to be recorded. True when that display
  // came from a kept grant, which is now forgotten: asking for content again asks the person anew.
  virtual bool forgetGrant() { return false; }
};

}  // namespace rezoro::capture
