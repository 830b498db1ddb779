#include "capture/recording/stream_configuration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "capture/contract/capture_failure.h"

namespace rezoro::capture {
namespace {

TEST(OutputSize, WorkedSizes) {
  EXPECT_EQ(outputSize(1920, 1080, 2), (OutputSize{3840, 2160}));
  EXPECT_EQ(outputSize(1440, 900, 2), (OutputSize{2880, 1800}));
  EXPECT_EQ(outputSize(800, 600, 1), (OutputSize{800, 600}));
  EXPECT_EQ(outputSize(5000, 3000, 2), (OutputSize{3718, 2230}));  // limited by the pixel count
  EXPECT_EQ(outputSize(3000, 100, 2), (OutputSize{3840, 128}));    // limited by the long side
  EXPECT_EQ(outputSize(2, 2, 2), (OutputSize{4, 4}));
  EXPECT_EQ(outputSize(3, 3, 1), (OutputSize{2, 2}));
  EXPECT_EQ(outputSize(641, 361, 1), (OutputSize{640, 360}));  // always even
}

ShareableDisplay display(uint32_t id, double x, double y, double width, double height, double scale = 1) {
  return ShareableDisplay{id, DisplayRect{x, y, width, height}, scale, "display"};
}

TEST(ChosenDisplay, ARegionGoesToTheDisplayShowingMostOfIt) {
  const std::vector<ShareableDisplay> displays{display(1, 0, 0, 1920, 1080), display(2, 1920, 0, 1920, 1080)};
  EXPECT_EQ(chosenDisplay(displays, CaptureRegion{1800, 0, 400, 100}, 1).displayID, 2u);
  EXPECT_EQ(chosenDisplay(displays, CaptureRegion{1600, 0, 400, 100}, 2).displayID, 1u);
  // A tie keeps the display listed first.
  EXPECT_EQ(chosenDisplay(displays, CaptureRegion{1820, 0, 200, 100}, 2).displayID, 1u);
  // Touching an edge is not showing.
  EXPECT_EQ(chosenDisplay(displays, CaptureRegion{1820, 0, 100, 100}, 2).displayID, 1u);
  EXPECT_THROW(chosenDisplay(displays, CaptureRegion{-500, 0, 500, 100}, 1), CaptureFailure);
  EXPECT_THROW(chosenDisplay(displays, CaptureRegion{0, 1080, 100, 100}, 1), CaptureFailure);
  EXPECT_THROW(chosenDisplay({}, CaptureRegion{0, 0, 100, 100}, 1), CaptureFailure);
}

TEST(ChosenDisplay, WithoutARegionTheMainDisplayElseTheFirst) {
  const std::vector<ShareableDisplay> displays{display(5, 0, 0, 800, 600), display(6, 800, 0, 800, 600)};
  EXPECT_EQ(chosenDisplay(displays, std::nullopt, 6).displayID, 6u);
  EXPECT_EQ(chosenDisplay(displays, std::nullopt, 99).displayID, 5u);
  try {
    chosenDisplay({}, std::nullopt, 1);
    FAIL();
  } catch (CaptureFailure failure) {
    EXPECT_EQ(failure, CaptureFailure::noDisplay);
  }
}

TEST(ExcludedApplications, TheRequestedProcessAndThisOneInListOrder) {
  ShareableContent content;
  content.applications = {{30, "own"}, {10, "other"}, {20, "excluded"}, {20, "excluded again"}};
  const auto excluded = excludedApplications(content, 20, 30);
  ASSERT_EQ(excluded.size(), 3u);
  EXPECT_EQ(excluded[0].applicationName, "own");
  EXPECT_EQ(excluded[2].applicationName, "excluded again");
}

TEST(ExcludedApplications, TheRequestedProcessCountsBeforeItPlaysOrShowsAWindow) {
  ShareableContent content;
  content.applications = {{10, "other"}};
  EXPECT_EQ(excludedApplications(content, 77, 78), (std::vector<ShareableApplication>{{77, ""}}));
  EXPECT_TRUE(excludedApplications(content, 1, 78).empty());  // init is not an application
  EXPECT_TRUE(excludedApplications(content, 0, 78).empty());
}

CaptureRequest videoRequest(CaptureRegion region, bool audio = true) {
  CaptureRequest request;
  request.kind = "video";
  request.destination = "/tmp/clip.mp4";
  request.region = region;
  request.captureAudio = audio;
  request.duration = 5;
  request.excludedPID = 1;
  return request;
}

TEST(StreamConfiguration, VideoRecordsTheVisiblePartInDisplayLocalPoints) {
  const ContentFilter filter(display(2, 1920, 100, 1280, 1024, 2), {});
  const StreamConfiguration configuration =
      streamConfiguration(videoRequest(CaptureRegion{1800, 50, 1000, 500}, false), filter);
  // Visible: x 1920..2800, y 100..550.
  EXPECT_EQ(configuration.sourceRect, (DisplayRect{0, 0, 880, 450}));
  EXPECT_EQ(configuration.width, 1760);
  EXPECT_EQ(configuration.height, 900);
  EXPECT_EQ(configuration.minimumFrameInterval, MediaTime::make(1, 24));
  EXPECT_EQ(configuration.pixelFormat, kPixelFormatI420);
  EXPECT_EQ(configuration.queueDepth, 3);
  EXPECT_TRUE(configuration.showsCursor);
  EXPECT_FALSE(configuration.capturesAudio);
  EXPECT_EQ(configuration.sampleRate, 48000);
  EXPECT_EQ(configuration.channelCount, 2);
}

TEST(StreamConfiguration, AudioAsksForATinyPictureOnceASecond) {
  CaptureRequest request;
  request.kind = "audio";
  request.captureAudio = true;
  const StreamConfiguration configuration = streamConfiguration(request, ContentFilter(display(1, 0, 0, 10, 10), {}));
  EXPECT_EQ(configuration.width, 2);
  EXPECT_EQ(configuration.height, 2);
  EXPECT_EQ(configuration.minimumFrameInterval, MediaTime::make(1, 1));
  EXPECT_FALSE(configuration.sourceRect);
  EXPECT_TRUE(configuration.capturesAudio);
  EXPECT_EQ(configuration.queueDepth, 3);
}

TEST(StreamConfiguration, TooLittleVisibleOrAnUnusableScaleIsNoDisplay) {
  const ContentFilter screen(display(1, 0, 0, 1920, 1080), {});
  EXPECT_THROW(streamConfiguration(videoRequest(CaptureRegion{1919, 0, 100, 100}), screen), CaptureFailure);
  EXPECT_THROW(streamConfiguration(videoRequest(CaptureRegion{0, 1078.5, 100, 100}), screen), CaptureFailure);
  EXPECT_NO_THROW(streamConfiguration(videoRequest(CaptureRegion{1918, 1078, 100, 100}), screen));
  for (double scale : {0.0, -1.0, 8.5, std::numeric_limits<double>::infinity(), std::nan("")}) {
    EXPECT_THROW(streamConfiguration(videoRequest(CaptureRegion{0, 0, 100, 100}), ContentFilter(display(1, 0, 0, 1920, 1080, scale), {})),
                 CaptureFailure)
        << scale;
  }
  EXPECT_EQ(streamConfiguration(videoRequest(CaptureRegion{0, 0, 100, 100}), ContentFilter(display(1, 0, 0, 1920, 1080, 8), {})).width, 800);
}

}  // namespace
}  // namespace rezoro::capture
