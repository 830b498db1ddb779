#include "capture/platform/portal/wayland_screen_capture_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "capture/runtime/serial_queue.h"
#include "capture/testing/display_and_sound.h"
#include "capture/testing/stream_answers.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;
using testing::answerOf;

class SoundCollector : public StreamOutput, public StreamDelegate {
 public:
  void didOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType type) override {
    std::lock_guard lock(mutex_);
    if (type == StreamOutputType::audio && sample.mediaType == kMediaTypeAudio) audioFrames_ += sample.numSamples;
    changed_.notify_all();
  }
  void didStopWithError(const PlatformError&) override {
    std::lock_guard lock(mutex_);
    ++failures_;
  }
  bool waitForAudio(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return audioFrames_ > 0; });
  }
  int failures() {
    std::lock_guard lock(mutex_);
    return failures_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int64_t audioFrames_ = 0;
  int failures_ = 0;
};

// An audio recording on a Wayland desktop asks the portal nothing (here there is no session bus to
// ask) and records the system sound alone.
class WaylandScreenCaptureServiceTest : public ::testing::TestWithParam<testing::SoundServerKind> {};
INSTANTIATE_TEST_SUITE_P(Servers, WaylandScreenCaptureServiceTest, ::testing::ValuesIn(testing::kSoundServerKinds),
                         testing::SoundServerParameterName());

TEST_P(WaylandScreenCaptureServiceTest, AnAudioRecordingAsksNoPortalAndRecordsTheSystemSound) {
  auto world = testing::DisplayAndSound::start({.display = false, .sound = true, .server = GetParam()});
  testing::TemporaryFolder folder;
  testing::ScopedEnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder.path() / "none").string());
  WaylandScreenCaptureService service(false);
  std::promise<std::pair<std::optional<ShareableContent>, std::optional<PlatformError>>> answer;
  service.getShareableContent(false, true, [&](auto content, auto error) {
    answer.set_value({std::move(content), std::move(error)});
  });
  auto [content, error] = answer.get_future().get();
  ASSERT_FALSE(error) << error->message;
  ASSERT_TRUE(content);
  ASSERT_EQ(content->displays.size(), 1u);
  // The applications are the processes that play: this one does not.
  EXPECT_FALSE(std::any_of(content->applications.begin(), content->applications.end(),
                           [](const ShareableApplication& application) { return application.processID == ::getpid(); }));

  StreamConfiguration configuration;
  configuration.width = 2;
  configuration.height = 2;
  configuration.capturesAudio = true;
  SerialQueue queue;
  auto collector = std::make_shared<SoundCollector>();
  auto stream = service.makeStream(ContentFilter(content->displays.front(), {}), configuration, collector);
  ASSERT_TRUE(stream);
  ASSERT_FALSE(stream->addStreamOutput(collector, StreamOutputType::audio, queue));
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream->startCapture(std::move(done)); }));
  EXPECT_TRUE(collector->waitForAudio(5s));
  EXPECT_FALSE(answerOf([&](ErrorCompletion done) { stream->stopCapture(std::move(done)); }));
  EXPECT_EQ(collector->failures(), 0);
}

// On Wayland, where no list of clients exists, the applications are the processes that play: none
// while nothing plays (not every process of the machine), then the player.
TEST_P(WaylandScreenCaptureServiceTest, TheApplicationsAreTheProcessesThatPlay) {
  std::unique_ptr<testing::DisplayAndSound> world;
  try {
    world = testing::DisplayAndSound::start(
        {.display = false, .sound = true, .keepSinkAwake = false, .server = GetParam()});
  } catch (const std::exception& error) {
    GTEST_SKIP() << "no private sound server: " << error.what();
  }
  WaylandScreenCaptureService service(/*screenNeeded=*/false);
  auto applications = [&] {
    std::promise<std::vector<ShareableApplication>> listed;
    service.getShareableContent(false, true, [&](std::optional<ShareableContent> content, std::optional<PlatformError>) {
      listed.set_value(content ? content->applications : std::vector<ShareableApplication>{});
    });
    return listed.get_future().get();
  };
  EXPECT_TRUE(applications().empty());
  testing::ChildProcess tone = world->sound().playTone(440, 5, 0.1);
  std::vector<ShareableApplication> playing;
  for (int attempt = 0; attempt < 100 && playing.empty(); ++attempt) {
    std::this_thread::sleep_for(20ms);
    playing = applications();
  }
  ASSERT_EQ(playing.size(), 1u);
  EXPECT_EQ(playing.front().processID, tone.pid());
}

}  // namespace
}  // namespace rezoro::capture
