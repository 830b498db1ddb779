#include "capture/platform/x11/x11_capture_stream.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "capture/platform/x11/x11_screen_capture_service.h"
#include "capture/platform/x11/xcb_connection.h"
#include "capture/testing/display_and_sound.h"
#include "capture/testing/stream_answers.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;
using testing::answerOf;

// What a recorder would see: samples on its queue, failures from the stream's threads.
class Collector : public StreamOutput, public StreamDelegate {
 public:
  explicit Collector(SerialQueue& queue) : queue_(queue) {}

  struct Received {
    SampleBuffer sample;
    StreamOutputType type;
    double receivedAt;
    bool onQueue;
  };

  void didOutputSampleBuffer(const SampleBuffer& sample, StreamOutputType type) override {
    std::lock_guard lock(mutex_);
    received_.push_back({sample, type, hostTimeSeconds(), queue_.isCurrent()});
    if (!holdImages_) received_.back().sample.imageBuffer.reset();
    changed_.notify_all();
  }
  void didStopWithError(const PlatformError& error) override {
    std::lock_guard lock(mutex_);
    failures_.push_back(error.message);
    changed_.notify_all();
  }

  std::vector<Received> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::vector<Received> of(StreamOutputType type) {
    std::vector<Received> out;
    for (auto& r : received()) {
      if (r.type == type) out.push_back(r);
    }
    return out;
  }
  std::vector<std::string> failures() {
    std::lock_guard lock(mutex_);
    return failures_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    received_.clear();
  }
  void holdImages(bool hold) {
    std::lock_guard lock(mutex_);
    holdImages_ = hold;
    if (!hold) {
      for (auto& r : received_) r.sample.imageBuffer.reset();
    }
  }
  template <class Predicate>
  bool waitFor(Predicate predicate, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return predicate(received_, failures_); });
  }

 private:
  SerialQueue& queue_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> received_;
  std::vector<std::string> failures_;
  bool holdImages_ = false;
};

ShareableDisplay screenDisplay() {
  ShareableDisplay display;
  display.displayID = 1;
  display.frame = {0, 0, 1920, 1080};
  return display;
}

StreamConfiguration regionConfiguration(DisplayRect source, int width, int height) {
  StreamConfiguration configuration;
  configuration.sourceRect = source;
  configuration.width = width;
  configuration.height = height;
  configuration.minimumFrameInterval = MediaTime::make(1, 24);
  configuration.queueDepth = 3;
  return configuration;
}

int complete(const std::vector<Collector::Received>& frames) {
  int count = 0;
  for (const auto& f : frames) count += f.sample.frameStatus == 0;
  return count;
}

class X11CaptureStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { world_ = testing::DisplayAndSound::start({.display = true, .sound = false}); }

  // The first frame of a new stream: the whole area read at once.
  std::shared_ptr<const ImageBuffer> firstFrame(const StreamConfiguration& configuration) {
    auto collector = std::make_shared<Collector>(queue_);
    collector->holdImages(true);
    X11CaptureStream stream(ContentFilter(screenDisplay(), {}), configuration, collector);
    EXPECT_FALSE(stream.addStreamOutput(collector, StreamOutputType::screen, queue_));
    EXPECT_FALSE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); }));
    EXPECT_TRUE(collector->waitFor([](auto& received, auto&) { return !received.empty(); }, 5s));
    EXPECT_FALSE(answerOf([&](ErrorCompletion done) { stream.stopCapture(std::move(done)); }));
    auto frames = collector->of(StreamOutputType::screen);
    return frames.empty() ? nullptr : frames.front().sample.imageBuffer;
  }

  // The pointer to a place of the screen, as a user would move it.
  void movePointer(int x, int y) {
    std::string error;
    auto connection = XcbConnection::open(error);
    ASSERT_TRUE(connection) << error;
    xcb_connection_t* c = connection->get();
    xcb_warp_pointer(c, XCB_NONE, connection->root(), 0, 0, 0, 0, static_cast<int16_t>(x), static_cast<int16_t>(y));
    XcbReply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

  std::unique_ptr<testing::DisplayAndSound> world_;
  SerialQueue queue_;
};

TEST_F(X11CaptureStreamTest, DeliversScaledFramesCompleteOnlyWhenTheAreaChangesAtMost24PerSecond) {
  movePointer(1800, 1000);  // away from the area
  testing::AnimatedWindow window(100, 100, 640, 360, 0x204080);
  auto collector = std::make_shared<Collector>(queue_);
  X11CaptureStream stream(ContentFilter(screenDisplay(), {}), regionConfiguration({100, 100, 640, 360}, 320, 180),
                          collector);
  ASSERT_FALSE(stream.addStreamOutput(collector, StreamOutputType::screen, queue_));
  const double started = hostTimeSeconds();
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); }));

  // Static screen: the first frame is complete, the others idle.
  std::this_thread::sleep_for(1000ms);
  auto still = collector->of(StreamOutputType::screen);
  ASSERT_GE(still.size(), 15u);
  EXPECT_EQ(still.front().sample.frameStatus, 0);
  EXPECT_EQ(complete(still), 1);
  for (const auto& frame : still) {
    EXPECT_TRUE(frame.onQueue);
    EXPECT_EQ(frame.sample.mediaType, kMediaTypeVideo);
    EXPECT_EQ(frame.sample.numSamples, 1);
    if (frame.sample.frameStatus == 1) {
      EXPECT_FALSE(frame.sample.imageBuffer);
    }
  }

  // Drawing makes frames complete again.
  window.setAnimating(true);
  std::this_thread::sleep_for(1000ms);
  window.setAnimating(false);
  std::this_thread::sleep_for(300ms);
  const double stopped = hostTimeSeconds();
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.stopCapture(std::move(done)); }));

  auto frames = collector->of(StreamOutputType::screen);
  EXPECT_GE(complete(frames) - 1, 10) << "complete frames while drawing";
  // At most one frame per 1/24 s.
  EXPECT_LE(static_cast<double>(frames.size()), (stopped - started) * 24 + 2);
  for (size_t i = 1; i < frames.size(); ++i) {
    const double gap = (frames[i].sample.presentationTime - frames[i - 1].sample.presentationTime).seconds();
    EXPECT_GT(gap, 1.0 / 24 * 0.5) << "frame " << i;
  }
  // Stamped on the monotonic clock at capture, before delivery.
  for (const auto& frame : frames) {
    const double stamp = frame.sample.presentationTime.seconds();
    EXPECT_EQ(frame.sample.presentationTime.timescale, kHostTimescale);
    EXPECT_LE(stamp, frame.receivedAt);
    EXPECT_GT(stamp, frame.receivedAt - 0.5);
  }
  EXPECT_TRUE(collector->failures().empty());
  const CaptureStatistics statistics = stream.statistics();
  EXPECT_EQ(statistics.completeFrames, complete(frames));
}

TEST_F(X11CaptureStreamTest, FramesHoldTheAreaScaledToTheConfiguredSizeWithTheCursorDrawnIn) {
  testing::AnimatedWindow window(200, 200, 400, 300, 0x204080);
  movePointer(400, 350);  // inside the window
  auto firstImage = [&](bool cursor) {
    StreamConfiguration configuration = regionConfiguration({200, 200, 400, 300}, 200, 150);
    configuration.showsCursor = cursor;
    return firstFrame(configuration);
  };
  // Pixels that are not the window's colour (B 0x80, G 0x40, R 0x20, opaque).
  auto foreign = [](const ImageBuffer& image) {
    int count = 0;
    for (int y = 0; y < image.height; ++y) {
      const uint8_t* row = image.baseAddress() + static_cast<size_t>(y) * image.bytesPerRow;
      for (int x = 0; x < image.width; ++x) {
        const uint8_t* p = row + x * 4;
        count += std::abs(p[0] - 0x80) > 2 || std::abs(p[1] - 0x40) > 2 || std::abs(p[2] - 0x20) > 2 || p[3] != 255;
      }
    }
    return count;
  };
  auto plain = firstImage(false);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->width, 200);
  EXPECT_EQ(plain->height, 150);
  EXPECT_EQ(plain->bytesPerRow, 800);
  EXPECT_EQ(plain->pixelFormat, kPixelFormatBGRA);
  EXPECT_EQ(foreign(*plain), 0);
  auto withCursor = firstImage(true);
  ASSERT_TRUE(withCursor);
  const int cursorPixels = foreign(*withCursor);
  EXPECT_GT(cursorPixels, 10);
  EXPECT_LT(cursorPixels, 2000);
}

TEST_F(X11CaptureStreamTest, FramesMadeFromTheChangedPartsEqualAWholeReadOfTheArea) {
  movePointer(1800, 1000);  // away from the area
  // A narrow window (read through the side room) and a wide one (read as whole rows).
  testing::AnimatedWindow narrow(250, 250, 100, 100, 0x204080);
  testing::AnimatedWindow wide(220, 500, 700, 40, 0x408020);
  for (const uint32_t format : {kPixelFormatI420, kPixelFormatBGRA}) {
    StreamConfiguration configuration = regionConfiguration({200, 200, 800, 400}, 800, 400);
    configuration.pixelFormat = format;
    configuration.queueDepth = 16;  // every frame is held here
    auto collector = std::make_shared<Collector>(queue_);
    collector->holdImages(true);
    X11CaptureStream stream(ContentFilter(screenDisplay(), {}), configuration, collector);
    ASSERT_FALSE(stream.addStreamOutput(collector, StreamOutputType::screen, queue_));
    ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); }));
    std::this_thread::sleep_for(200ms);
    for (const uint32_t colour : {0xc02020u, 0x20c0c0u, 0x8020f0u}) {
      narrow.fill(colour);
      wide.fill(colour ^ 0xffffff);
      std::this_thread::sleep_for(150ms);
    }
    ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.stopCapture(std::move(done)); }));
    auto frames = collector->of(StreamOutputType::screen);
    ASSERT_GE(complete(frames), 2);
    std::shared_ptr<const ImageBuffer> last;
    for (const auto& frame : frames) {
      if (frame.sample.imageBuffer) last = frame.sample.imageBuffer;
    }
    const auto whole = firstFrame(configuration);
    ASSERT_TRUE(last && whole);
    EXPECT_EQ(last->pixelFormat, format);
    EXPECT_TRUE(last->bytes == whole->bytes) << "format " << format;
  }
}

TEST_F(X11CaptureStreamTest, NoMoreThanQueueDepthFramesAreInFlight) {
  testing::AnimatedWindow window(0, 0, 320, 240);
  window.setAnimating(true);
  auto collector = std::make_shared<Collector>(queue_);
  collector->holdImages(true);  // a slow consumer that keeps every frame
  X11CaptureStream stream(ContentFilter(screenDisplay(), {}), regionConfiguration({0, 0, 320, 240}, 320, 240),
                          collector);
  ASSERT_FALSE(stream.addStreamOutput(collector, StreamOutputType::screen, queue_));
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); }));
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(complete(collector->of(StreamOutputType::screen)), 3);
  EXPECT_GT(stream.statistics().skippedFrames, 3);
  collector->holdImages(false);  // the frames go back to the pool
  std::this_thread::sleep_for(400ms);
  EXPECT_GT(complete(collector->of(StreamOutputType::screen)), 5);
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.stopCapture(std::move(done)); }));
}

TEST_F(X11CaptureStreamTest, StartAndStopAnswerOnceAndNothingArrivesAfterTheStop) {
  auto collector = std::make_shared<Collector>(queue_);
  X11CaptureStream stream(ContentFilter(screenDisplay(), {}), regionConfiguration({0, 0, 64, 64}, 64, 64), collector);
  EXPECT_FALSE(stream.addStreamOutput(collector, StreamOutputType::screen, queue_));
  EXPECT_TRUE(stream.addStreamOutput(collector, StreamOutputType::screen, queue_)) << "second screen output";
  EXPECT_TRUE(answerOf([&](ErrorCompletion done) { stream.stopCapture(std::move(done)); })) << "stop before start";
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); }));
  EXPECT_TRUE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); })) << "second start";
  EXPECT_TRUE(stream.addStreamOutput(collector, StreamOutputType::audio, queue_)) << "output after start";
  std::this_thread::sleep_for(200ms);

  // The stop answer hops onto the queue like the recorder's does: every sample is already there.
  std::promise<size_t> atStop;
  stream.stopCapture([&](std::optional<PlatformError> error) {
    EXPECT_FALSE(error);
    queue_.async([&] { atStop.set_value(collector->received().size()); });
  });
  auto count = atStop.get_future();
  ASSERT_EQ(count.wait_for(10s), std::future_status::ready);
  const size_t delivered = count.get();
  EXPECT_GT(delivered, 0u);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(collector->received().size(), delivered);
  EXPECT_TRUE(answerOf([&](ErrorCompletion done) { stream.stopCapture(std::move(done)); })) << "second stop";
  EXPECT_TRUE(collector->failures().empty());
}

TEST_F(X11CaptureStreamTest, ALostDisplayIsReportedOnceToTheDelegate) {
  auto collector = std::make_shared<Collector>(queue_);
  X11CaptureStream stream(ContentFilter(screenDisplay(), {}), regionConfiguration({0, 0, 64, 64}, 64, 64), collector);
  ASSERT_FALSE(stream.addStreamOutput(collector, StreamOutputType::screen, queue_));
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); }));
  world_->display().kill();
  EXPECT_TRUE(collector->waitFor([](auto&, auto& failures) { return !failures.empty(); }, 5s));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(collector->failures().size(), 1u);
  // Stopping a stream that ended on its own succeeds.
  EXPECT_FALSE(answerOf([&](ErrorCompletion done) { stream.stopCapture(std::move(done)); }));
}

// The sound is a stream of its own inside this one: a sound server that goes away costs the
// pictures nothing, and is no failure.
TEST_F(X11CaptureStreamTest, ALostSoundServerLeavesThePicturesComing) {
  world_.reset();
  world_ = testing::DisplayAndSound::start({.display = true, .sound = true});
  auto collector = std::make_shared<Collector>(queue_);
  StreamConfiguration configuration = regionConfiguration({0, 0, 64, 64}, 64, 64);
  configuration.capturesAudio = true;
  X11CaptureStream stream(ContentFilter(screenDisplay(), {}), configuration, collector);
  ASSERT_FALSE(stream.addStreamOutput(collector, StreamOutputType::screen, queue_));
  ASSERT_FALSE(stream.addStreamOutput(collector, StreamOutputType::audio, queue_));
  EXPECT_TRUE(stream.addStreamOutput(collector, StreamOutputType::audio, queue_)) << "second audio output";
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); }));
  auto hasAudio = [](auto& received, auto&) {
    for (const auto& r : received) {
      if (r.type == StreamOutputType::audio) return true;
    }
    return false;
  };
  ASSERT_TRUE(collector->waitFor(hasAudio, 5s));
  EXPECT_GT(stream.statistics().audioFrames, 0);
  world_->sound().kill();
  std::this_thread::sleep_for(300ms);
  const size_t frames = collector->of(StreamOutputType::screen).size();
  std::this_thread::sleep_for(500ms);  // 12 frames at 24 fps
  EXPECT_GE(collector->of(StreamOutputType::screen).size(), frames + 8);
  EXPECT_TRUE(collector->failures().empty());
  EXPECT_FALSE(answerOf([&](ErrorCompletion done) { stream.stopCapture(std::move(done)); }));
}

TEST_F(X11CaptureStreamTest, StartFailsForAnAreaOffTheScreenOrWithoutADisplay) {
  auto collector = std::make_shared<Collector>(queue_);
  {
    X11CaptureStream stream(ContentFilter(screenDisplay(), {}), regionConfiguration({1920, 0, 100, 100}, 100, 100),
                            collector);
    ASSERT_FALSE(stream.addStreamOutput(collector, StreamOutputType::screen, queue_));
    EXPECT_TRUE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); }));
  }
  {
    testing::ScopedEnvironmentVariable display("DISPLAY", ":9999");
    X11CaptureStream stream(ContentFilter(screenDisplay(), {}), regionConfiguration({0, 0, 100, 100}, 100, 100),
                            collector);
    ASSERT_FALSE(stream.addStreamOutput(collector, StreamOutputType::screen, queue_));
    EXPECT_TRUE(answerOf([&](ErrorCompletion done) { stream.startCapture(std::move(done)); }));
  }
  EXPECT_TRUE(collector->received().empty());
}

TEST_F(X11CaptureStreamTest, TheServiceMakesAWorkingStreamFromTheContentItListed) {
  X11ScreenCaptureService service;
  std::promise<std::optional<ShareableContent>> answer;
  service.getShareableContent(false, true, [&](auto content, auto) { answer.set_value(std::move(content)); });
  auto content = answer.get_future().get();
  ASSERT_TRUE(content && !content->displays.empty());
  auto collector = std::make_shared<Collector>(queue_);
  auto stream = service.makeStream(ContentFilter(content->displays.front(), content->applications),
                                   regionConfiguration({10, 10, 100, 100}, 100, 100), collector);
  ASSERT_FALSE(stream->addStreamOutput(collector, StreamOutputType::screen, queue_));
  ASSERT_FALSE(answerOf([&](ErrorCompletion done) { stream->startCapture(std::move(done)); }));
  EXPECT_TRUE(collector->waitFor([](auto& received, auto&) { return !received.empty(); }, 5s));
  // Released while running: it stops by itself.
  stream.reset();
}

}  // namespace
}  // namespace rezoro::capture
