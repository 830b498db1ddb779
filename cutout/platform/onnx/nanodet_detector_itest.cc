#include "cutout/platform/onnx/nanodet_detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "cutout/platform/onnx/onnx_model.h"
#include "cutout/platform/vips/vips_image_source.h"
#include "cutout/segmentation/human_recovery.h"
#include "cutout/segmentation/person_detection.h"
#include "cutout/testing/cutout_testing.h"

namespace rezoro::cutout {
namespace {

namespace fs = std::filesystem;

const fs::path depsDir = REZORO_DEPS_DIR;

// A temporary folder removed with everything in it.
using testing::TemporaryFolder;

UprightImage decoded(const fs::path& file) {
  auto source = VipsImageSource::open(file);
  EXPECT_NE(source, nullptr) << file;
  const auto properties = source->properties();
  return uprightImage(*source, int64_t(*properties->pixelWidth), int64_t(*properties->pixelHeight));
}

// The converted model against the TF graph's reference outputs, computed at setup by the converter's
// own numpy interpreter of the graph on the same inputs.
TEST(NanodetModel, MatchesTheReferenceRunOfTheOriginalGraph) {
  std::ifstream reference(depsDir / "models" / "nanodet-reference.bin", std::ios::binary);
  ASSERT_TRUE(reference) << "run scripts/setup.sh";
  char magic[8];
  uint32_t cases = 0, outputCount = 0;
  reference.read(magic, 8);
  reference.read(reinterpret_cast<char*>(&cases), 4);
  reference.read(reinterpret_cast<char*>(&outputCount), 4);
  ASSERT_EQ(std::string(magic, 8), "NDREF001");
  ASSERT_GE(cases, 2u);
  ASSERT_EQ(outputCount, 6u);
  OnnxModel model(installedModelPath("nanodet.onnx"));
  const std::vector<const char*> names{"scores_8", "scores_16", "scores_32", "boxes_8", "boxes_16", "boxes_32"};
  const std::array<int64_t, 4> shape{1, 3, 416, 416};
  double worstScore = 0, worstBox = 0;
  for (uint32_t c = 0; c < cases; ++c) {
    std::vector<float> input(3 * 416 * 416);
    reference.read(reinterpret_cast<char*>(input.data()), std::streamsize(input.size() * 4));
    const auto outputs = model.run("input", input, shape, names);
    for (size_t o = 0; o < names.size(); ++o) {
      uint32_t count = 0;
      reference.read(reinterpret_cast<char*>(&count), 4);
      std::vector<float> expected(count);
      reference.read(reinterpret_cast<char*>(expected.data()), std::streamsize(count * 4));
      ASSERT_TRUE(reference);
      ASSERT_EQ(outputs[o].GetTensorTypeAndShapeInfo().GetElementCount(), count) << names[o];
      const float* actual = outputs[o].GetTensorData<float>();
      double worst = 0;
      for (uint32_t i = 0; i < count; ++i) worst = std::max(worst, double(std::fabs(actual[i] - expected[i])));
      (o < 3 ? worstScore : worstBox) = std::max(o < 3 ? worstScore : worstBox, worst);
    }
  }
  std::printf("max abs diff: scores %.3g, box logits %.3g\n", worstScore, worstBox);
  EXPECT_LT(worstScore, 1e-4);
  EXPECT_LT(worstBox, 1e-3);
}

// Frame 200 of the OpenCV pedestrian clip (768 × 576): seven people walking, the smallest about
// 20 × 50 pixels. Their centres, checked by eye.
const std::vector<std::pair<double, double>> walkers{{634, 316}, {234, 226}, {724, 303}, {502, 182},
                                                     {96, 185},  {687, 126}, {712, 129}};

TEST(NanodetDetector, FindsMostWalkingPeopleConfidentlyAndNothingElse) {
  TemporaryFolder folder;
  const fs::path frame = folder.path / "frame.png";
  const std::string command = "ffmpeg -nostdin -loglevel error -y -i '" +
                              (depsDir / "opencv-doc" / "vtest.avi").string() +
                              "' -vf \"select='eq(n\\,200)'\" -frames:v 1 '" + frame.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const UprightImage image = decoded(frame);
  ASSERT_EQ(image.width, 768);
  NanodetDetector detector;
  const HumanRequest request = configuredHumanRequest(detector);
  const auto people = deduplicatedPeople(detectedPeople(image, {0, 0, 768, 576}, {768, 576}, detector, request));
  size_t found = 0;
  for (const auto& [x, y] : walkers) {
    found += std::any_of(people.begin(), people.end(), [&](const HumanBox& box) {
      return box.bounds.intersects({x, y, 1, 1}) && box.bounds.height < 160;
    });
  }
  EXPECT_GE(found, walkers.size() - 1);
  for (const HumanBox& box : people) {
    EXPECT_GE(box.confidence, 0.6f);
    EXPECT_TRUE(std::any_of(walkers.begin(), walkers.end(),
                            [&](const auto& walker) { return box.bounds.intersects({walker.first, walker.second, 1, 1}); }))
        << "a box where nobody walks at " << box.bounds.x << ", " << box.bounds.y;
  }
}

TEST(NanodetDetector, FindsNobodyInPicturesWithoutPeople) {
  NanodetDetector detector;
  const HumanRequest request = configuredHumanRequest(detector);
  for (const char* name : {"building.jpg", "fruits.jpg"}) {
    const UprightImage image = decoded(depsDir / "opencv-doc" / name);
    const double width = double(image.width), height = double(image.height);
    for (const Rect& tile : humanSearchTiles(image.width, image.height)) {
      EXPECT_TRUE(detectedPeople(image, tile, {width, height}, detector, request).empty())
          << name << " tile " << tile.x << ", " << tile.y;
    }
  }
}

TEST(NanodetDetector, DetectsOnTinyAndElongatedImages) {
  NanodetDetector detector;
  const HumanRequest request = configuredHumanRequest(detector);
  EXPECT_NO_THROW(detector.perform(request, UprightImage{1, 1, {0, 0, 0}}));
  EXPECT_NO_THROW(detector.perform(request, UprightImage{3000, 2, std::vector<uint8_t>(3000 * 2 * 3, 90)}));
  EXPECT_THROW(detector.perform(request, UprightImage{2, 2, {1, 2, 3}}), std::exception);
}

}  // namespace
}  // namespace rezoro::cutout
