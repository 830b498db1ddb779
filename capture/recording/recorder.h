#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "capture/contract/capture_failure.h"
#include "capture/contract/capture_request.h"
#include "capture/media/media_writer.h"
#include "capture/platform/capture_stream.h"
#include "capture/runtime/serial_queue.h"
#include "capture/samples/media_file_writer.h"

namespace rezoro::capture {

// How long a recording may take to start, counted from run(), and to finish, counted from stop().
inline constexpr double startTimeoutSeconds = 12.0;
inline constexpr double stopTimeoutSeconds = 10.0;
// How long a person may take to answer the question of a service that asks (the portal's dialog).
// That time does not count against the start time-out, which is armed anew when the grant arrives.
inline constexpr double permissionTimeoutSeconds = 120.0;
// How long the recorder waits for a stream or a media writer it lets go of (normally a few
// milliseconds) before leaving it to end on a thread of its own, and for its queue to end.
inline constexpr double releaseWaitSeconds = 0.5;
// Beyond the longest a recording can legitimately take (start time-out, duration, stop time-out),
// the caller of run() stops waiting for a queue that no longer answers.
inline constexpr double queueGraceSeconds = 2.0;
// How long past a time-out run() waits for the queue to report it before giving up on the queue.
inline constexpr double watchMarginSeconds = 0.25;

// Copies of screen pictures for the encoder, whose memory is reused once the encoder (or the
// writer's last-frame copy) lets go of it: at 4K a fresh buffer per frame costs more in page faults
// than the copy itself. Returned from any thread. `Picture` is BgraImage or I420Image.
template <typename Picture>
class PictureRecycler {
 public:
  std::shared_ptr<const Picture> copy(const ImageBuffer& image) {
    std::unique_ptr<Picture> picture;
    {
      std::lock_guard lock(shared_->mutex);
      if (!shared_->idle.empty()) {
        picture = std::move(shared_->idle.back());
        shared_->idle.pop_back();
      }
    }
    if (!picture) picture = std::make_unique<Picture>();
    picture->width = image.width;
    picture->height = image.height;
    picture->bytesPerRow = static_cast<size_t>(image.bytesPerRow);
    picture->bytes.assign(image.bytes.begin(), image.bytes.end());
    return std::shared_ptr<const Picture>(picture.release(), Return{shared_});
  }

 private:
  static constexpr size_t keptPictures = 6;
  struct Shared {
    std::mutex mutex;
    std::vector<std::unique_ptr<Picture>> idle;
  };
  struct Return {
    std::weak_ptr<Shared> shared;
    void operator()(const Picture* returned) const {
      std::unique_ptr<Picture> picture(const_cast<Picture*>(returned));
      if (auto pool = shared.lock()) {
        std::lock_guard lock(pool->mutex);
        if (pool->idle.size() < keptPictures) pool->idle.push_back(std::move(picture));
      }
    }
  };
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

struct ScreenPictures {
  PictureRecycler<BgraImage> bgra;
  PictureRecycler<I420Image> i420;
};

// Where a recording is in its life. Each state has one deadline, armed when the state is entered:
// the queue acts at it unless the state was left first, and run()'s watchdog gives up on a queue
// that has not acted a moment (watchMarginSeconds) after it.
//
//   state      entered by                          deadline                       at the deadline
//   created    the constructor                     -                              -
//   starting   run(); the person's grant (or an    startTimeout later             timeout
//              answer while asking)
//   asking     the service asking the person       permissionTimeout later        cancel the question;
//              (the start time-out waits)                                         timeout
//   stopping   a stop before the start answer      the start time-out's; after    timeout
//              (the stop controls are disarmed,    asking, stopTimeout later
//              a question cancelled)
//   recording  the start answer                    the duration's end, from the   stop, into finishing
//                                                  start (an audio recording's:
//                                                  from its first sample; before
//                                                  it, the start time-out's)
//   finishing  a stop while recording: the         stopTimeout later              timeout
//              stream is told to stop, the file
//              finished and published
//   completed  complete(): the one result          -                              -
//
// Transitions (recorderMoveAllowed; no other is made):
//   created   -> starting
//   starting  -> asking | recording | stopping | completed
//   asking    -> asking | starting | stopping | completed
//   stopping  -> finishing (the start answer: the stop goes on) | completed
//   recording -> recording (an audio recording's first sample moves the deadline) | finishing | completed
//   finishing -> completed
// So there is exactly one result (only complete() enters completed, and only once); the time the
// person takes in the dialog counts against the dialog's bound, not the start's; and after
// completed, or after the watchdog gave up, nothing is published (the publication claim decides).
enum class RecorderState { created, starting, asking, stopping, recording, finishing, completed };

const char* recorderStateName(RecorderState state);
bool recorderMoveAllowed(RecorderState from, RecorderState to);

// The outside world of a recorder. The capture service must outlive the recorder.
struct RecorderServices {
  ScreenCaptureService* screenCapture = nullptr;
  MediaPlatform mediaPlatform;
  // The parent's stop control: "q" or the end of this input stops the recording.
  int stopInputFd = 0;
  double startTimeout = startTimeoutSeconds;
  double stopTimeout = stopTimeoutSeconds;
  double permissionTimeout = permissionTimeoutSeconds;
  // This process's id, whose own applications are always left out of the capture.
  pid_t ownProcessID = 0;  // 0: getpid()
  // Told every state the recorder enters, on its queue (for tests and diagnostics).
  std::function<void(RecorderState)> stateEntered;
};

// Carries out one recording from permission check to result. Everything it owns (the media writer,
// the stream, the state) is read and written on its serial queue only; platform threads merely hop
// onto it. The stream holds the recorder weakly as its output and delegate, so a recorder lives in a
// shared_ptr.
class Recorder : public StreamOutput, public StreamDelegate, public std::enable_shared_from_this<Recorder> {
 public:
  Recorder(const CaptureRequest& request, RecorderServices services);
  ~Recorder() override;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Records and returns the single result: the success dictionary or a failure. Call once, from a
  // thread other than the queue; it blocks until the result is there. On return the queue has
  // ended and the stream and the media writer are gone, or have been left to end on threads of
  // their own when they did not within releaseWaitSeconds. A queue that does not act on its
  // state's deadline gives `timeout` (or the success of a recording published meanwhile) a
  // watchMarginSeconds later; in recording, the deadline's stop has its stop time-out first (and
  // before an audio recording's first sample, its duration). In any case the start time-out, the
  // duration, the stop time-out and queueGraceSeconds after the last start bound it, outside
  // the dialog. Nothing is published after that.
  CaptureResult run();

  void didOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType type) override;
  void didStopWithError(const PlatformError& error) override;

 private:
  // All of these run on the queue.
  void begin(std::function<void(CaptureResult)> completion);
  // Moves to `state`, whose deadline is `deadline` (host seconds; 0 for none), and arms it.
  void enter(RecorderState state, double deadline);
  void deadlineReached();
  void installStopControls();
  void disarmStopControls();
  void askForContent();
  void contentAnswer(std::optional<ShareableContent> content, std::optional<PlatformError> error);
  // The service puts its question to the person, and the person grants it.
  void permissionAsked();
  void permissionGranted();
  // Chooses the display, fills the stream configuration, creates the media writer and the stream,
  // adds the outputs and starts the capture. Throws CaptureFailure or another error.
  void configure(const ShareableContent& content);
  void startAnswer(std::optional<PlatformError> error);
  // The recording's deadline: the duration's end once it counts, before that the start's.
  double recordingDeadline() const;
  void stop();
  // Writes the picture the stream holds back, tells the stream to stop and enters finishing.
  void finish();
  void stopAnswer(std::optional<PlatformError> error);
  void complete(CaptureResult result);
  // A piece of work on the queue ended by throwing (an allocation failure): the recording fails.
  void workFailed();

  // Runs `work` on the queue; from any thread. Dropped once the recorder has ended its queue.
  void hop(std::function<void()> work);
  // Drops the stream and the writer on the queue, then ends the queue and waits for its thread.
  // Called from outside the queue.
  void endQueue();

  const CaptureRequest request_;
  RecorderServices services_;

  std::mutex queueMutex_;  // guards only that `queue_` still exists when a platform thread hops
  std::unique_ptr<SerialQueue> queue_;
  SerialQueue* const queueOnQueue_;  // the same queue, for work already running on it

  // The lifecycle, on the queue; in host seconds.
  RecorderState state_ = RecorderState::created;
  uint64_t entry_ = 0;                  // counts the states entered: a deadline acts only for its own
  double enteredAt_ = 0;                // when the state was entered (finishing: when the stop was asked)
  double deadline_ = 0;                 // the state's deadline
  double startCountedFrom_ = 0;         // when the start time-out last began counting
  std::optional<double> durationFrom_;  // when the duration began counting
  // When run()'s watchdog gives up on the queue: the one value it reads, written with each state.
  std::atomic<double> giveUpAt_{0};

  ScreenPictures pictures_;
  std::unique_ptr<MediaWriter> media_;
  std::unique_ptr<CaptureStream> stream_;
  std::function<void(CaptureResult)> completion_;
  std::vector<QueueSource> sources_;
  bool askedAgain_ = false;  // a forgotten grant was asked for anew (once per recording)
  std::optional<CaptureFailure> failure_;

  std::mutex claimMutex_;  // the media writer's publication claim, which run() may take over
  std::shared_ptr<PublicationClaim> claim_;
};

}  // namespace rezoro::capture
