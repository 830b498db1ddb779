#include "capture/recording/recorder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture/media/media_testing.h"
#include "capture/testing/test_basics.h"
#include "common/unique_fd.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;
using testing::Pipe;
using testing::FakeOutputs;
using testing::TempDir;

// What the fake service and its stream were asked to do, and how they answer. Touched by the
// recorder's queue and by the test thread, so behind a mutex.
struct FakeWorld {
  std::mutex mutex;
  std::condition_variable changed;

  // Script.
  bool permission = true;
  uint32_t mainDisplay = 7;
  bool holdContent = false;
  std::optional<ShareableContent> content = ShareableContent{
      {ShareableDisplay{7, DisplayRect{0, 0, 1920, 1080}, 1.0, "main"}}, {}};
  std::optional<PlatformError> contentError;
  bool holdStart = false;
  std::optional<PlatformError> startError;
  bool holdStop = false;
  std::optional<PlatformError> addOutputError;
  int framesOnStart = 0;       // complete 64 × 48 frames, 1/24 s apart
  int audioBuffersOnStart = 0; // 1024-frame float buffers, 1024/48000 s apart
  double audioDelay = 0;       // seconds from the start to the first of them
  bool audioOnStop = false;    // a stop delivers two buffers: captured before it, and after
  bool asks = false;            // the service puts a question to the person while gathering content
  int keptGrants = 0;           // forgetGrant() answers true this many times
  std::optional<ShareableContent> contentAfterForgetting;  // the next content once a grant is forgotten
  std::optional<SampleBuffer> heldFrame;  // what the stream hands over at the stop
  std::shared_future<void> destructionHeld;  // when valid, a stream's release waits for it

  // Record.
  std::vector<std::string> events;  // "content", "make", "output screen", "output audio", "start",
                                    // "stop", "destroyed"
  std::optional<ContentFilter> filter;
  std::optional<StreamConfiguration> configuration;
  ScreenCaptureService::ContentCompletion pendingContent;
  ScreenCaptureService::PermissionSteps steps;
  ErrorCompletion pendingStart;
  ErrorCompletion pendingStop;
  std::weak_ptr<StreamDelegate> delegate;
  SerialQueue* outputQueue = nullptr;

  void note(const std::string& event) {
    std::lock_guard lock(mutex);
    events.push_back(event);
    changed.notify_all();
  }
  bool waitFor(const std::string& event, std::chrono::milliseconds limit = 5s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return std::count(events.begin(), events.end(), event) > 0; });
  }
  int count(const std::string& event) {
    std::lock_guard lock(mutex);
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }
  template <typename T>
  T take(T FakeWorld::*member) {
    std::lock_guard lock(mutex);
    return std::exchange(this->*member, T{});
  }
};

SampleBuffer completeFrame(int index) {
  auto image = std::make_shared<ImageBuffer>();
  image->width = 64;
  image->height = 48;
  image->bytesPerRow = 64 * 4;
  image->bytes.assign(64 * 4 * 48, static_cast<uint8_t>(index));
  SampleBuffer sample;
  sample.mediaType = kMediaTypeVideo;
  sample.presentationTime = hostMediaTime() + MediaTime::make(index, 24);
  sample.numSamples = 1;
  sample.frameStatus = static_cast<int64_t>(FrameStatus::complete);
  sample.imageBuffer = image;
  return sample;
}

SampleBuffer audioBuffer(const MediaTime& start, int index) {
  SampleBuffer sample;
  sample.mediaType = kMediaTypeAudio;
  sample.presentationTime = start + MediaTime::make(index * 1024, 48000);
  sample.numSamples = 1024;
  sample.audioFormat = AudioStreamFormat{48000, 2, true};
  sample.audioSamples = std::make_shared<const std::vector<float>>(2048, 0.25f);
  return sample;
}

class FakeStream : public CaptureStream {
 public:
  explicit FakeStream(FakeWorld& world) : world_(world) {}
  ~FakeStream() override {
    std::shared_future<void> held;
    {
      std::lock_guard lock(world_.mutex);
      held = world_.destructionHeld;
    }
    if (held.valid()) held.wait();
    world_.note("destroyed");
  }

  std::optional<PlatformError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                               SerialQueue& queue) override {
    world_.note(type == StreamOutputType::screen ? "output screen" : "output audio");
    std::lock_guard lock(world_.mutex);
    if (world_.addOutputError) return world_.addOutputError;
    (type == StreamOutputType::screen ? screen_ : audio_) = output;
    queue_ = &queue;
    world_.outputQueue = &queue;
    return std::nullopt;
  }

  // Called on the recorder's queue: samples are posted behind the current work, as a real stream's
  // would arrive.
  void startCapture(ErrorCompletion completion) override {
    std::unique_lock lock(world_.mutex);
    const MediaTime start = hostMediaTime();
    for (int i = 0; i < world_.framesOnStart; ++i) {
      queue_->async([output = screen_, i] {
        if (auto receiver = output.lock()) receiver->didOutputSampleBuffer(completeFrame(i), StreamOutputType::screen);
      });
    }
    for (int i = 0; i < world_.audioBuffersOnStart; ++i) {
      auto deliver = [output = audio_, start, i] {
        if (auto receiver = output.lock()) receiver->didOutputSampleBuffer(audioBuffer(start, i), StreamOutputType::audio);
      };
      if (world_.audioDelay > 0) {
        delayed_.push_back(queue_->after(world_.audioDelay, deliver));
      } else {
        queue_->async(deliver);
      }
    }
    if (world_.holdStart) {
      world_.pendingStart = std::move(completion);
      lock.unlock();
      world_.note("start");
      return;
    }
    const auto error = world_.startError;
    lock.unlock();
    world_.note("start");
    completion(error);
  }

  std::optional<SampleBuffer> takeHeldFrame() override {
    world_.note("take held");
    return world_.take(&FakeWorld::heldFrame);
  }

  void stopCapture(ErrorCompletion completion) override {
    std::unique_lock lock(world_.mutex);
    if (world_.holdStop) {
      world_.pendingStop = std::move(completion);
      lock.unlock();
      world_.note("stop");
      return;
    }
    if (world_.audioOnStop) {
      for (const double captured : {-0.1, 0.3}) {
        queue_->async([output = audio_, captured] {
          if (auto receiver = output.lock()) {
            receiver->didOutputSampleBuffer(audioBuffer(hostMediaTime() + MediaTime::make(captured * 48000, 48000), 0),
                                            StreamOutputType::audio);
          }
        });
      }
    }
    lock.unlock();
    world_.note("stop");
    if (completion) completion(std::nullopt);
  }

 private:
  FakeWorld& world_;
  std::weak_ptr<StreamOutput> screen_;
  std::weak_ptr<StreamOutput> audio_;
  SerialQueue* queue_ = nullptr;
  std::vector<QueueSource> delayed_;
};

class FakeService : public ScreenCaptureService {
 public:
  explicit FakeService(FakeWorld& world) : world_(world) {}
  bool preflightScreenCaptureAccess() override {
    std::lock_guard lock(world_.mutex);
    return world_.permission;
  }
  uint32_t mainDisplayID() override {
    std::lock_guard lock(world_.mutex);
    return world_.mainDisplay;
  }
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override {
    EXPECT_FALSE(excludingDesktopWindows);
    EXPECT_TRUE(onScreenWindowsOnly);
    std::unique_lock lock(world_.mutex);
    const auto asking = world_.asks ? world_.steps.asking : nullptr;
    if (world_.holdContent) {
      world_.pendingContent = std::move(completion);
      lock.unlock();
      world_.note("content");
      if (asking) asking();
      return;
    }
    auto content = world_.content;
    auto error = world_.contentError;
    lock.unlock();
    world_.note("content");
    // Answers from another thread, as the platform does.
    std::thread([completion = std::move(completion), content, error] { completion(content, error); }).join();
  }
  void setPermissionSteps(PermissionSteps steps) override {
    std::lock_guard lock(world_.mutex);
    world_.steps = std::move(steps);
  }
  void cancelShareableContent() override { world_.note("cancel"); }
  void keepGrant() override { world_.note("keep"); }
  bool forgetGrant() override {
    world_.note("forget");
    std::lock_guard lock(world_.mutex);
    if (world_.keptGrants == 0) return false;
    --world_.keptGrants;
    if (world_.contentAfterForgetting) world_.content = world_.contentAfterForgetting;
    return true;
  }
  std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                            std::weak_ptr<StreamDelegate> delegate) override {
    world_.note("make");
    std::lock_guard lock(world_.mutex);
    world_.filter = filter;
    world_.configuration = configuration;
    world_.delegate = delegate;
    return std::make_unique<FakeStream>(world_);
  }

 private:
  FakeWorld& world_;
};

// When the fake movie writer is asked to finish, it reports completion at once unless told not to.
class AutoFinishingMovieWriter : public testing::FakeMovieWriter {
 public:
  AutoFinishingMovieWriter(FakeOutputs& outputs, std::filesystem::path path, bool finish)
      : FakeMovieWriter(outputs, std::move(path)), outputs_(outputs), finish_(finish) {}
  void finishWriting(std::function<void(WriterStatus)> completion) override {
    FakeMovieWriter::finishWriting(std::move(completion));
    if (finish_) std::exchange(outputs_.pendingFinish, nullptr)(WriterStatus::completed);
  }

 private:
  FakeOutputs& outputs_;
  bool finish_;
};

class RecorderTest : public ::testing::Test {
 protected:
  CaptureRequest request(const std::string& kind, double duration = 20) {
    CaptureRequest made = testing::recordingRequest(folder / (kind == "video" ? "clip.mp4" : "sound.wav"), kind,
                                                    duration);
    if (made.region) made.region = CaptureRegion{100, 100, 640, 360};
    return made;
  }

  RecorderServices services() {
    RecorderServices made;
    made.screenCapture = &service;
    made.mediaPlatform = testing::fakeMediaPlatform(outputs);
    made.mediaPlatform.makeMpeg4Writer = [this](const std::filesystem::path& path) -> std::unique_ptr<MediaFileWriter> {
      if (writerError) throw std::runtime_error("no encoder");
      return std::make_unique<AutoFinishingMovieWriter>(outputs, path, writerFinishes);
    };
    made.stopInputFd = input.readEnd.get();
    made.startTimeout = 5;
    made.stopTimeout = 5;
    made.stateEntered = [this](RecorderState state) {
      std::lock_guard lock(statesMutex);
      entered.push_back(recorderStateName(state));
    };
    return made;
  }

  // Starts the recording on a thread of its own; the result is the future's.
  std::future<CaptureResult> start(const CaptureRequest& recording, RecorderServices with) {
    {
      std::lock_guard lock(statesMutex);
      entered.clear();
    }
    recorder = std::make_shared<Recorder>(recording, std::move(with));
    return std::async(std::launch::async, [recorder = recorder] { return recorder->run(); });
  }
  std::future<CaptureResult> start(const CaptureRequest& recording) { return start(recording, services()); }

  static CaptureResult resultOf(std::future<CaptureResult>& future, std::chrono::seconds limit = 10s) {
    if (future.wait_for(limit) != std::future_status::ready) {
      ADD_FAILURE() << "no result within " << limit.count() << " s";
      return CaptureFailure::startFailed;  // not waited for: a regression fails here instead of hanging
    }
    return future.get();
  }

  // The states the latest recording went through, in order.
  std::vector<std::string> states() {
    std::lock_guard lock(statesMutex);
    return entered;
  }

  bool noTemporaryLeft() const {
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
      if (entry.path().filename().string().rfind(".rezoro-recording-", 0) == 0) return false;
    }
    return true;
  }

  TempDir folder;
  FakeWorld world;
  FakeService service{world};
  FakeOutputs outputs;
  bool writerError = false;
  bool writerFinishes = true;
  Pipe input;
  std::shared_ptr<Recorder> recorder;
  std::mutex statesMutex;
  std::vector<std::string> entered;
};

using States = std::vector<std::string>;

// The lifecycle's table: the moves a recording can make, and no others.
TEST(RecorderStates, OnlyTheLifecyclesMovesAreAllowed) {
  using enum RecorderState;
  const std::vector<RecorderState> all{created, starting, asking, stopping, recording, finishing, completed};
  const std::set<std::pair<RecorderState, RecorderState>> allowed{
      {created, starting},
      {starting, asking},     {starting, recording}, {starting, stopping},  {starting, completed},
      {asking, asking},       {asking, starting},    {asking, stopping},    {asking, completed},
      {stopping, finishing},  {stopping, completed},
      {recording, recording}, {recording, finishing}, {recording, completed},
      {finishing, completed}};
  for (RecorderState from : all) {
    for (RecorderState to : all) {
      EXPECT_EQ(recorderMoveAllowed(from, to), allowed.contains({from, to}))
          << recorderStateName(from) << " -> " << recorderStateName(to);
    }
  }
}

CaptureFailure failureOf(const CaptureResult& result) {
  EXPECT_TRUE(std::holds_alternative<CaptureFailure>(result));
  return std::holds_alternative<CaptureFailure>(result) ? std::get<CaptureFailure>(result) : CaptureFailure::invalidInput;
}

TEST_F(RecorderTest, WithoutPermissionNothingIsAskedFor) {
  world.permission = false;
  auto result = start(request("video"));
  EXPECT_EQ(failureOf(resultOf(result)), CaptureFailure::permissionDenied);
  EXPECT_EQ(world.count("content"), 0);
  EXPECT_EQ(states(), (States{"starting", "completed"}));
}

TEST_F(RecorderTest, MissingFailedOrDeclinedContentCannotStart) {
  world.contentError = PlatformError{"no X"};
  auto failed = start(request("video"));
  EXPECT_EQ(failureOf(resultOf(failed)), CaptureFailure::startFailed);

  world.contentError = PlatformError{"the user declined", true};
  auto declined = start(request("video"));
  EXPECT_EQ(failureOf(resultOf(declined)), CaptureFailure::permissionDenied);

  world.contentError.reset();
  world.content.reset();
  auto missing = start(request("audio"));
  EXPECT_EQ(failureOf(resultOf(missing)), CaptureFailure::startFailed);
  EXPECT_EQ(world.count("make"), 0);
}

TEST_F(RecorderTest, AStopBeforeTheContentArrivesEndsWithoutFramesOrAudio) {
  for (const std::string kind : {"video", "audio"}) {
    Pipe closed;
    closed.writeEnd.reset();  // the parent's input is at its end from the start
    world.holdContent = true;
    RecorderServices with = services();
    with.stopInputFd = closed.readEnd.get();
    auto result = start(request(kind), with);
    ASSERT_TRUE(world.waitFor("content"));
    std::this_thread::sleep_for(200ms);
    world.take(&FakeWorld::pendingContent)(world.content, std::nullopt);
    EXPECT_EQ(failureOf(resultOf(result)), kind == "video" ? CaptureFailure::noFrames : CaptureFailure::noAudio);
    EXPECT_EQ(world.count("make"), 0);
    EXPECT_EQ(states(), (States{"starting", "stopping", "completed"}));
  }
}

TEST_F(RecorderTest, AStopWhileStartingGoesStraightToFinishingOnceStarted) {
  world.holdStart = true;
  world.framesOnStart = 3;
  auto result = start(request("video", 30));
  ASSERT_TRUE(world.waitFor("start"));
  input.write("q\n");
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(world.count("stop"), 0);  // nothing to stop before the stream has started
  world.take(&FakeWorld::pendingStart)(std::nullopt);

  const CaptureResult done = resultOf(result, 3s);  // long before the 30 s duration
  ASSERT_TRUE(std::holds_alternative<Json>(done));
  EXPECT_EQ(std::get<Json>(done)["video_frames"], 3);
  EXPECT_EQ(world.count("stop"), 1);
  EXPECT_TRUE(std::filesystem::exists(folder / "clip.mp4"));
  EXPECT_TRUE(noTemporaryLeft());
  EXPECT_EQ(states(), (States{"starting", "stopping", "finishing", "completed"}));
}

TEST_F(RecorderTest, AStartAnswerAfterTheStartTimeOutDeliversNothingMore) {
  world.holdStart = true;
  RecorderServices with = services();
  with.startTimeout = 0.3;
  auto result = start(request("video"), with);
  EXPECT_EQ(failureOf(resultOf(result)), CaptureFailure::timeout);
  // The stream was dropped with the recording, which ends its capture.
  EXPECT_EQ(world.count("destroyed"), 1);
  EXPECT_TRUE(outputs.events.empty() || outputs.events.back() == "cancel");
  world.take(&FakeWorld::pendingStart)(std::nullopt);  // late: dropped
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(std::filesystem::exists(folder / "clip.mp4"));
  EXPECT_TRUE(noTemporaryLeft());
  EXPECT_EQ(states(), (States{"starting", "completed"}));
}

TEST_F(RecorderTest, AStreamStuckInItsReleaseDoesNotHoldBackTheResult) {
  world.holdStart = true;
  std::promise<void> release;
  world.destructionHeld = release.get_future().share();
  RecorderServices with = services();
  with.startTimeout = 0.3;
  const auto started = std::chrono::steady_clock::now();
  auto result = start(request("video"), with);
  EXPECT_EQ(failureOf(resultOf(result)), CaptureFailure::timeout);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 0.3s + 1s);
  EXPECT_EQ(world.count("destroyed"), 0);
  EXPECT_TRUE(noTemporaryLeft());
  // The stream is still let go of, once it can be.
  release.set_value();
  EXPECT_TRUE(world.waitFor("destroyed"));
}

TEST_F(RecorderTest, WorkThatThrowsOnTheQueueEndsTheRecordingAsAFailure) {
  world.framesOnStart = 2;
  auto result = start(request("video", 30));
  ASSERT_TRUE(world.waitFor("start"));
  std::this_thread::sleep_for(100ms);
  world.outputQueue->async([] { throw std::bad_alloc(); });
  EXPECT_EQ(failureOf(resultOf(result, 3s)), CaptureFailure::recordingFailed);
  EXPECT_FALSE(std::filesystem::exists(folder / "clip.mp4"));
  EXPECT_TRUE(noTemporaryLeft());
}

TEST_F(RecorderTest, TheDurationTimerEndsTheRecordingWithItsFile) {
  world.framesOnStart = 4;
  world.audioBuffersOnStart = 10;
  auto result = start(request("video", 0.4));
  const CaptureResult done = resultOf(result);
  ASSERT_TRUE(std::holds_alternative<Json>(done));
  const Json& json = std::get<Json>(done);
  EXPECT_EQ(json["video_frames"], 4);
  EXPECT_EQ(json["width"], 640);
  EXPECT_EQ(json["height"], 360);
  EXPECT_GT(json["audio_frames"].get<int64_t>(), 0);
  EXPECT_EQ(world.count("output screen"), 1);
  EXPECT_EQ(world.count("output audio"), 1);
  EXPECT_EQ(world.count("stop"), 1);
  EXPECT_TRUE(noTemporaryLeft());
  EXPECT_EQ(states(), (States{"starting", "recording", "finishing", "completed"}));
}

TEST_F(RecorderTest, AnAudioRecordingHasNoScreenOutputAndPublishesItsWave) {
  world.audioBuffersOnStart = 20;
  world.mainDisplay = 9;
  world.content->displays.push_back(ShareableDisplay{9, DisplayRect{1920, 0, 1280, 1024}, 1.0, "side"});
  auto result = start(request("audio", 1.0));
  const CaptureResult done = resultOf(result);
  ASSERT_TRUE(std::holds_alternative<Json>(done));
  EXPECT_EQ(std::get<Json>(done)["audio_frames"], 20 * 1024);
  EXPECT_EQ(std::get<Json>(done)["width"], 0);
  EXPECT_EQ(world.count("output screen"), 0);
  EXPECT_EQ(world.filter->display.displayID, 9u);  // the main display, though listed second
  EXPECT_EQ(world.configuration->width, 2);
  EXPECT_TRUE(std::filesystem::exists(folder / "sound.wav"));
}

// A sound server may hand a new stream its first samples late: the wave still holds the duration
// asked for, counted from its first sample.
TEST_F(RecorderTest, AnAudioRecordingsDurationCountsFromItsFirstSample) {
  world.audioBuffersOnStart = 5;
  world.audioDelay = 0.5;
  auto result = start(request("audio", 0.6));
  const CaptureResult done = resultOf(result);
  ASSERT_TRUE(std::holds_alternative<Json>(done));
  EXPECT_NEAR(std::get<Json>(done)["duration_seconds"].get<double>(), 0.6, 0.05);
  // The first sample, after the start, moved the recording's deadline.
  EXPECT_EQ(states(), (States{"starting", "recording", "recording", "finishing", "completed"}));
}

// The start time-out bounds the wait for that first sample: a stream that never delivers one ends
// the recording then, without audio.
TEST_F(RecorderTest, AnAudioRecordingWithoutAFirstSampleEndsAtTheStartTimeOut) {
  RecorderServices with = services();
  with.startTimeout = 0.3;
  const auto asked = std::chrono::steady_clock::now();
  auto result = start(request("audio", 20), std::move(with));
  EXPECT_EQ(failureOf(resultOf(result)), CaptureFailure::noAudio);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
  EXPECT_EQ(states(), (States{"starting", "recording", "finishing", "completed"}));
}

// Sound captured before the stop that arrives while the stream stops is kept; later sound is not.
TEST_F(RecorderTest, SoundCapturedBeforeTheStopIsKeptWhileStopping) {
  world.framesOnStart = 3;
  world.audioOnStop = true;
  auto result = start(request("video", 0.3));
  const CaptureResult done = resultOf(result);
  ASSERT_TRUE(std::holds_alternative<Json>(done));
  EXPECT_EQ(std::get<Json>(done)["audio_frames"], 1024);
}

TEST_F(RecorderTest, StopControlsAndSecondStops) {
  world.framesOnStart = 2;
  world.holdStop = true;
  auto result = start(request("video"));
  ASSERT_TRUE(world.waitFor("start"));
  input.write("Q is not a stop\n");
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(world.count("stop"), 0);
  input.write("...quit");
  ASSERT_TRUE(world.waitFor("stop"));
  input.write("q\n");
  ::raise(SIGINT);  // would end the test process if the recorder let it through
  ::raise(SIGTERM);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(world.count("stop"), 1);
  world.take(&FakeWorld::pendingStop)(std::nullopt);
  EXPECT_TRUE(std::holds_alternative<Json>(resultOf(result)));
}

TEST_F(RecorderTest, SignalsStopTheRecording) {
  for (int signalNumber : {SIGINT, SIGTERM}) {
    world.framesOnStart = 2;
    auto result = start(request("video"));
    ASSERT_TRUE(world.waitFor("start"));
    std::this_thread::sleep_for(100ms);
    ::raise(signalNumber);
    EXPECT_TRUE(std::holds_alternative<Json>(resultOf(result, 3s)));
    std::filesystem::remove(folder / "clip.mp4");
    world.events.clear();
  }
}

TEST_F(RecorderTest, AStreamFailureWhileFinishingIsIgnored) {
  world.framesOnStart = 2;
  world.holdStop = true;
  auto result = start(request("video"));
  ASSERT_TRUE(world.waitFor("start"));
  input.write("q");
  ASSERT_TRUE(world.waitFor("stop"));
  world.delegate.lock()->didStopWithError(PlatformError{"display gone"});
  std::this_thread::sleep_for(100ms);
  world.take(&FakeWorld::pendingStop)(std::nullopt);
  EXPECT_TRUE(std::holds_alternative<Json>(resultOf(result)));
  EXPECT_EQ(states(), (States{"starting", "recording", "finishing", "completed"}));
}

TEST_F(RecorderTest, AStreamFailureWhileRecordingEndsInRecordingFailedAndDiscardsTheFile) {
  world.framesOnStart = 2;
  auto result = start(request("video"));
  ASSERT_TRUE(world.waitFor("start"));
  std::this_thread::sleep_for(100ms);
  world.delegate.lock()->didStopWithError(PlatformError{"display gone"});
  EXPECT_EQ(failureOf(resultOf(result)), CaptureFailure::recordingFailed);
  EXPECT_EQ(world.count("stop"), 1);  // the failure reaches the result through finishing
  EXPECT_EQ(outputs.events.back(), "cancel");
  EXPECT_FALSE(std::filesystem::exists(folder / "clip.mp4"));
  EXPECT_TRUE(noTemporaryLeft());
}

TEST_F(RecorderTest, AFrameTheWriterRefusesEndsInRecordingFailed) {
  world.framesOnStart = 3;
  outputs.refuseVideo = true;
  auto result = start(request("video"));
  EXPECT_EQ(failureOf(resultOf(result)), CaptureFailure::recordingFailed);
  EXPECT_TRUE(noTemporaryLeft());
}

TEST_F(RecorderTest, FinishingTimeOuts) {
  // The stream never confirms its stop; its late answer finds the recording over.
  world.framesOnStart = 2;
  world.holdStop = true;
  RecorderServices with = services();
  with.stopTimeout = 0.3;
  auto unanswered = start(request("video", 0.2), with);
  EXPECT_EQ(failureOf(resultOf(unanswered)), CaptureFailure::timeout);
  world.take(&FakeWorld::pendingStop)(std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(folder / "clip.mp4"));
  EXPECT_TRUE(noTemporaryLeft());
  EXPECT_EQ(states(), (States{"starting", "recording", "finishing", "completed"}));

  // The writer never reports its finish: the partly written file is deleted.
  world.holdStop = false;
  writerFinishes = false;
  with = services();
  with.stopTimeout = 0.3;
  auto unfinished = start(request("video", 0.2), with);
  EXPECT_EQ(failureOf(resultOf(unfinished)), CaptureFailure::timeout);
  EXPECT_EQ(outputs.events.back(), "cancel");
  EXPECT_TRUE(noTemporaryLeft());
  ASSERT_TRUE(outputs.pendingFinish);
  outputs.pendingFinish(WriterStatus::failed);  // late report: dropped
  EXPECT_FALSE(std::filesystem::exists(folder / "clip.mp4"));
}

TEST_F(RecorderTest, ConfigurationFailures) {
  // A region off every display.
  CaptureRequest offScreen = request("video");
  offScreen.region = CaptureRegion{5000, 5000, 100, 100};
  auto missed = start(offScreen);
  EXPECT_EQ(failureOf(resultOf(missed)), CaptureFailure::noDisplay);
  EXPECT_EQ(world.count("make"), 0);

  // The destination filled up after the request was checked: never overwritten.
  testing::writeTextFile(folder / "clip.mp4", "keep me");
  auto occupied = start(request("video"));
  EXPECT_EQ(failureOf(resultOf(occupied)), CaptureFailure::invalidInput);
  EXPECT_EQ(std::filesystem::file_size(folder / "clip.mp4"), 7u);
  std::filesystem::remove(folder / "clip.mp4");

  // Errors of other kinds: the writer cannot be made, an output cannot be added, the start fails.
  writerError = true;
  auto noWriter = start(request("video"));
  EXPECT_EQ(failureOf(resultOf(noWriter)), CaptureFailure::startFailed);
  writerError = false;

  world.addOutputError = PlatformError{"busy"};
  auto noOutput = start(request("video"));
  EXPECT_EQ(failureOf(resultOf(noOutput)), CaptureFailure::startFailed);
  world.addOutputError.reset();

  world.startError = PlatformError{"no sound server"};
  auto notStarted = start(request("video"));
  EXPECT_EQ(failureOf(resultOf(notStarted)), CaptureFailure::startFailed);

  EXPECT_FALSE(std::filesystem::exists(folder / "clip.mp4"));
  EXPECT_TRUE(noTemporaryLeft());
}

TEST_F(RecorderTest, TheStreamIsConfiguredForTheVisiblePartWithoutTheExcludedApplications) {
  world.holdStart = true;
  world.content->applications = {ShareableApplication{1, "excluded"}, ShareableApplication{4242, "other"},
                                 ShareableApplication{::getpid(), "self"}};
  CaptureRequest partly = request("video");
  partly.region = CaptureRegion{1800, 1000, 400, 300};  // only 120 × 80 lie on the display
  auto result = start(partly);
  ASSERT_TRUE(world.waitFor("start"));
  {
    std::lock_guard lock(world.mutex);
    ASSERT_EQ(world.filter->excludedApplications.size(), 2u);
    EXPECT_EQ(world.filter->excludedApplications[0].processID, 1);
    EXPECT_EQ(world.filter->excludedApplications[1].processID, ::getpid());
    EXPECT_EQ(world.configuration->sourceRect, (DisplayRect{1800, 1000, 120, 80}));
    EXPECT_EQ(world.configuration->width, 120);
    EXPECT_EQ(world.configuration->height, 80);
  }
  world.take(&FakeWorld::pendingStart)(PlatformError{"refused"});
  EXPECT_EQ(failureOf(resultOf(result)), CaptureFailure::startFailed);
}

}  // namespace
}  // namespace rezoro::capture

namespace rezoro::capture {
namespace {

TEST_F(RecorderTest, TheTimeInTheDialogIsTheDialogsAndTheStartTimeOutCountsFromTheGrant) {
  world.asks = true;
  world.holdContent = true;
  world.holdStart = true;
  RecorderServices with = services();
  with.startTimeout = 0.4;
  auto result = start(request("video"), with);
  ASSERT_TRUE(world.waitFor("content"));
  std::this_thread::sleep_for(800ms);  // twice the start time-out, deciding
  EXPECT_EQ(result.wait_for(0s), std::future_status::timeout);
  const auto granted = std::chrono::steady_clock::now();
  world.steps.granted();
  world.take(&FakeWorld::pendingContent)(world.content, std::nullopt);
  // Armed at the grant: the start that never answers times out 0.4 s later.
  EXPECT_EQ(failureOf(resultOf(result)), CaptureFailure::timeout);
  const auto waited = std::chrono::steady_clock::now() - granted;
  EXPECT_GT(waited, 350ms);
  EXPECT_LT(waited, 3s);
  EXPECT_EQ(world.count("keep"), 1);  // the display held the region
  EXPECT_EQ(states(), (States{"starting", "asking", "starting", "completed"}));
}

TEST_F(RecorderTest, AnUnansweredDialogTimesOutOnItsOwnBoundAndAStopCancelsIt) {
  world.asks = true;
  world.holdContent = true;
  RecorderServices with = services();
  with.startTimeout = 0.2;
  with.permissionTimeout = 0.6;
  const auto started = std::chrono::steady_clock::now();
  auto unanswered = start(request("video"), with);
  EXPECT_EQ(failureOf(resultOf(unanswered)), CaptureFailure::timeout);
  EXPECT_GT(std::chrono::steady_clock::now() - started, 550ms);
  EXPECT_EQ(world.count("cancel"), 1);
  EXPECT_EQ(states(), (States{"starting", "asking", "completed"}));
  world.take(&FakeWorld::pendingContent);

  auto stopped = start(request("video"), services());
  ASSERT_TRUE(world.waitFor("content"));
  std::this_thread::sleep_for(100ms);
  input.write("q");
  for (int i = 0; i < 100 && world.count("cancel") < 2; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(world.count("cancel"), 2);
  // The question cut short answers with an error: the recording ends as a stop before the start.
  world.take(&FakeWorld::pendingContent)(std::nullopt, PlatformError{"cancelled"});
  EXPECT_EQ(failureOf(resultOf(stopped)), CaptureFailure::noFrames);
  EXPECT_EQ(states(), (States{"starting", "asking", "stopping", "completed"}));

  auto declined = start(request("video"), services());
  ASSERT_TRUE(world.waitFor("content"));
  std::this_thread::sleep_for(100ms);
  world.take(&FakeWorld::pendingContent)(std::nullopt, PlatformError{"the person declined", true});
  EXPECT_EQ(failureOf(resultOf(declined)), CaptureFailure::permissionDenied);
  EXPECT_EQ(world.count("keep"), 0);
}

TEST_F(RecorderTest, AStopDuringTheDialogWhoseCancelIsNeverAnsweredEndsAtTheStopTimeOut) {
  world.asks = true;
  world.holdContent = true;
  RecorderServices with = services();
  with.stopTimeout = 0.3;
  auto stopped = start(request("video"), with);
  ASSERT_TRUE(world.waitFor("content"));
  std::this_thread::sleep_for(100ms);
  const auto asked = std::chrono::steady_clock::now();
  input.write("q");
  EXPECT_EQ(failureOf(resultOf(stopped)), CaptureFailure::timeout);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);  // not the dialog's 120 s
  EXPECT_EQ(states(), (States{"starting", "asking", "stopping", "completed"}));
  world.take(&FakeWorld::pendingContent);
}

TEST_F(RecorderTest, ARememberedDisplayWithoutTheRegionIsForgottenAndAskedForOnce) {
  // The remembered display lies elsewhere; the one chosen anew holds the region.
  const ShareableContent elsewhere{{ShareableDisplay{7, DisplayRect{3000, 0, 800, 600}, 1.0, "side"}}, {}};
  world.content = elsewhere;
  world.contentAfterForgetting = ShareableContent{{ShareableDisplay{7, DisplayRect{0, 0, 1920, 1080}, 1.0, "main"}}, {}};
  world.keptGrants = 1;
  world.framesOnStart = 2;
  auto asked = start(request("video", 0.3));
  ASSERT_TRUE(std::holds_alternative<Json>(resultOf(asked)));
  EXPECT_EQ(world.count("content"), 2);
  EXPECT_EQ(world.count("forget"), 1);
  EXPECT_EQ(world.count("keep"), 1);

  // Asked once only: a second wrong answer is no_display, and nothing is kept.
  world.content = elsewhere;
  world.contentAfterForgetting = elsewhere;
  world.keptGrants = 2;
  auto wrong = start(request("video", 0.3));
  EXPECT_EQ(failureOf(resultOf(wrong)), CaptureFailure::noDisplay);
  EXPECT_EQ(world.count("content"), 4);
  EXPECT_EQ(world.count("forget"), 2);
  EXPECT_EQ(world.count("keep"), 1);

  // A choice that was not remembered is not asked for again.
  world.keptGrants = 0;
  auto fresh = start(request("video", 0.3));
  EXPECT_EQ(failureOf(resultOf(fresh)), CaptureFailure::noDisplay);
  EXPECT_EQ(world.count("content"), 5);
  EXPECT_EQ(world.count("keep"), 1);
}

TEST_F(RecorderTest, ThePersonStoppingTheSharingPublishesAndAFailingStreamDoesNot) {
  world.framesOnStart = 3;
  auto shared = start(request("video", 30));
  ASSERT_TRUE(world.waitFor("start"));
  std::this_thread::sleep_for(100ms);
  PlatformError stopped{"the desktop ended the screen cast"};
  stopped.stoppedSharing = true;
  world.delegate.lock()->didStopWithError(stopped);
  const CaptureResult done = resultOf(shared, 3s);
  ASSERT_TRUE(std::holds_alternative<Json>(done));
  EXPECT_EQ(std::get<Json>(done)["video_frames"], 3);
  EXPECT_TRUE(std::filesystem::exists(folder / "clip.mp4"));

  std::filesystem::remove(folder / "clip.mp4");
  auto failing = start(request("video", 30));
  ASSERT_TRUE(world.waitFor("start"));
  std::this_thread::sleep_for(100ms);
  world.delegate.lock()->didStopWithError(PlatformError{"the PipeWire connection failed"});
  EXPECT_EQ(failureOf(resultOf(failing, 3s)), CaptureFailure::recordingFailed);
  EXPECT_FALSE(std::filesystem::exists(folder / "clip.mp4"));
}

TEST_F(RecorderTest, APictureTheStreamHoldsForItsTurnIsWrittenAtTheStop) {
  world.framesOnStart = 2;
  world.heldFrame = completeFrame(5);
  auto result = start(request("video", 30));
  ASSERT_TRUE(world.waitFor("start"));
  std::this_thread::sleep_for(100ms);
  input.write("q");
  const CaptureResult done = resultOf(result, 3s);
  ASSERT_TRUE(std::holds_alternative<Json>(done));
  EXPECT_EQ(std::get<Json>(done)["video_frames"], 3);
  EXPECT_EQ(world.count("take held"), 1);
}

}  // namespace
}  // namespace rezoro::capture
