#include "cutout/segmentation/human_recovery.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "cutout/contract/cutout_failure.h"
#include "cutout/platform/onnx/isnet_engine.h"
#include "cutout/platform/onnx/nanodet_detector.h"
#include "cutout/platform/vips/vips_image_source.h"
#include "cutout/segmentation/foreground_request.h"
#include "cutout/testing/cutout_testing.h"

namespace rezoro::cutout {
namespace {

namespace fs = std::filesystem;

using testing::TemporaryFolder;

GrayMask wholeImageMask(IsnetEngine& engine, ImageSource& source, int64_t width, int64_t height) {
  const ImageRequestHandler handler{ImageRequestHandler::File{source, width, height}};
  const auto observation = engine.perform(configuredRequest(engine), handler);
  if (!observation || observation->allInstances().empty()) return {};
  auto buffer = observation->generateScaledMask(observation->allInstances(), handler);
  return grayscaleMask(*buffer);
}

// The first frame of the OpenCV pedestrian clip (768 × 576) shows three people about 30 × 80 pixels
// tall. The whole-image segmentation finds two of them and misses the one at (639, 241, 46, 82);
// the search over tiles with segmentation of padded crops brings all three back.
TEST(RecoverDistantPeople, RecoversAPersonTheWholeImageSegmentationMissed) {
  TemporaryFolder folder;
  const fs::path frame = folder.path / "frame.png";
  const std::string command = "ffmpeg -nostdin -loglevel error -y -i '" +
                              (fs::path(REZORO_DEPS_DIR) / "opencv-doc" / "vtest.avi").string() + "' -frames:v 1 '" +
                              frame.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const Rect missed{639, 241, 46, 82};
  IsnetEngine engine;
  auto source = VipsImageSource::open(frame);
  ASSERT_NE(source, nullptr);
  const GrayMask whole = wholeImageMask(engine, *source, 768, 576);
  ASSERT_EQ(whole.width, 768);
  EXPECT_LT(foregroundCoverage(whole, missed), 0.1);

  NanodetDetector detector;
  const RecoveredMask recovered = recoverDistantPeople(*source, 768, 576, detector, engine);
  EXPECT_EQ(recovered.detectionPasses, 10);
  EXPECT_EQ(recovered.peopleCount, 3);
  EXPECT_EQ(recovered.cropPasses, 3);
  EXPECT_GE(recovered.instanceCount, 3);
  ASSERT_EQ(recovered.mask.width, 768);
  ASSERT_EQ(recovered.mask.height, 576);
  EXPECT_GT(foregroundCoverage(recovered.mask, missed), 0.25);
  // Only the crops were pasted: the far corners stay empty.
  EXPECT_EQ(recovered.mask.bytes.front(), 0);
  EXPECT_EQ(recovered.mask.bytes.back(), 0);
}

}  // namespace
}  // namespace rezoro::cutout
