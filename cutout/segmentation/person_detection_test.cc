#include "cutout/segmentation/person_detection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "cutout/contract/cutout_failure.h"
#include "cutout/segmentation/recovery_test_support.h"

namespace rezoro::cutout {
namespace {

using testing::coordinateImage;
using testing::ScriptedDetector;

// Runs detectedPeople on one tile of a 1000 × 500 image whose detector reports `observations`.
std::vector<HumanBox> peopleIn(const Rect& tile, std::vector<HumanObservation> observations,
                               ScriptedDetector* used = nullptr) {
  static const UprightImage image = coordinateImage(1000, 500);
  ScriptedDetector local;
  ScriptedDetector& detector = used != nullptr ? *used : local;
  detector.answer = [observations](const UprightImage&) { return observations; };
  return detectedPeople(image, tile, {1000, 500}, detector, configuredHumanRequest(detector));
}

void expectNear(const Rect& actual, const Rect& expected) {
  EXPECT_NEAR(actual.x, expected.x, 1e-9);
  EXPECT_NEAR(actual.y, expected.y, 1e-9);
  EXPECT_NEAR(actual.width, expected.width, 1e-9);
  EXPECT_NEAR(actual.height, expected.height, 1e-9);
}

HumanObservation seen(float confidence, double x, double y, double width, double height) {
  return {confidence, Rect{x, y, width, height}};
}

TEST(DetectedPeople, ConvertsBoxesOfTheTileToImagePixels) {
  ScriptedDetector detector;
  const auto people = peopleIn({100, 50, 400, 300}, {seen(0.9f, 40, 90, 120, 150)}, &detector);
  ASSERT_EQ(people.size(), 1u);
  expectNear(people[0].bounds, {140, 140, 120, 150});
  EXPECT_FLOAT_EQ(people[0].confidence, 0.9f);
  // The detector saw exactly the tile's pixels.
  ASSERT_EQ(detector.seenOrigins.size(), 1u);
  EXPECT_EQ(detector.seenOrigins[0], (std::pair<int64_t, int64_t>{100, 50}));
  EXPECT_EQ(detector.seenSizes[0], (std::pair<int64_t, int64_t>{400, 300}));
}

TEST(DetectedPeople, CutsTheTileFromAReducedPictureAtItsScale) {
  // The 1000 × 500 picture decoded at half size; tile and boxes stay in full-size pixels.
  const UprightImage half = coordinateImage(500, 250);
  ScriptedDetector detector;
  // The detector answers in pixels of the half-size tile it saw.
  detector.answer = [](const UprightImage&) { return std::vector<HumanObservation>{seen(0.9f, 20, 45, 60, 75)}; };
  const auto people = detectedPeople(half, {100, 50, 400, 300}, {1000, 500}, detector, configuredHumanRequest(detector));
  ASSERT_EQ(people.size(), 1u);
  expectNear(people[0].bounds, {140, 140, 120, 150});
  EXPECT_EQ(detector.seenOrigins[0], (std::pair<int64_t, int64_t>{50, 25}));
  EXPECT_EQ(detector.seenSizes[0], (std::pair<int64_t, int64_t>{200, 150}));
}

TEST(DetectedPeople, KeepsConfidenceFromTheFloatNearestSixTenths) {
  const auto people = peopleIn({0, 0, 1000, 500}, {seen(0.59f, 100, 200, 100, 250), seen(0.6f, 500, 200, 100, 250),
                                                   seen(std::nanf(""), 300, 200, 100, 250),
                                                   seen(std::numeric_limits<float>::infinity(), 700, 200, 100, 250)});
  ASSERT_EQ(people.size(), 1u);
  EXPECT_FLOAT_EQ(people[0].confidence, 0.6f);
}

TEST(DetectedPeople, ToleratesBoxesReachingOnePercentPastTheTileAndClipsThem) {
  const auto kept = peopleIn({0, 0, 400, 300}, {seen(0.9f, -2, 90, 80, 150)});
  ASSERT_EQ(kept.size(), 1u);
  expectNear(kept[0].bounds, {0, 90, 78, 150});
  EXPECT_TRUE(peopleIn({0, 0, 400, 300}, {seen(0.9f, -8, 90, 80, 150)}).empty());
  EXPECT_TRUE(peopleIn({0, 0, 400, 300}, {seen(0.9f, 200, 90, 208, 150)}).empty());  // ends at 408
  EXPECT_TRUE(peopleIn({0, 0, 400, 300}, {seen(0.9f, 200, 90, std::nan(""), 150)}).empty());
}

TEST(DetectedPeople, DropsBoxesNarrowerThanTwoOrLowerThanEightPixels) {
  const Rect tile{0, 0, 400, 400};
  EXPECT_TRUE(peopleIn(tile, {seen(0.9f, 80, 240, 1.5, 80)}).empty());
  EXPECT_EQ(peopleIn(tile, {seen(0.9f, 80, 240, 2, 80)}).size(), 1u);
  EXPECT_TRUE(peopleIn(tile, {seen(0.9f, 80, 240, 40, 7)}).empty());
  EXPECT_EQ(peopleIn(tile, {seen(0.9f, 80, 240, 40, 8)}).size(), 1u);
}

TEST(DetectedPeople, DropsPeopleCutByATileSideInsideTheImageOnly) {
  // Tile (300, 100, 400, 300) of 1000 × 500: every side lies inside the image.
  const Rect inner{300, 100, 400, 300};
  EXPECT_TRUE(peopleIn(inner, {seen(0.9f, 1, 90, 80, 150)}).empty());          // starts at x = 301
  EXPECT_EQ(peopleIn(inner, {seen(0.9f, 3, 90, 80, 150)}).size(), 1u);         // starts at x = 303
  EXPECT_TRUE(peopleIn(inner, {seen(0.9f, 200, 90, 199.6, 150)}).empty());     // ends 0.4 px from the right
  EXPECT_TRUE(peopleIn(inner, {seen(0.9f, 200, 0.3, 80, 149.7)}).empty());     // starts near the top
  EXPECT_TRUE(peopleIn(inner, {seen(0.9f, 200, 149.7, 80, 150)}).empty());     // ends near the bottom
  // Tile (0, 0, 400, 300): its left and top sides are the image's edges.
  const auto atEdge = peopleIn({0, 0, 400, 300}, {seen(0.9f, 0, 0, 80, 210)});
  ASSERT_EQ(atEdge.size(), 1u);
  expectNear(atEdge[0].bounds, {0, 0, 80, 210});
  // The whole image: no side is inside.
  EXPECT_EQ(peopleIn({0, 0, 1000, 500}, {seen(0.9f, 0, 0, 1000, 500)}).size(), 1u);
}

TEST(DetectedPeople, KeepsTheDetectorsOrder) {
  const auto people = peopleIn({0, 0, 1000, 500}, {seen(0.7f, 100, 200, 100, 250), seen(0.9f, 500, 200, 100, 250)});
  ASSERT_EQ(people.size(), 2u);
  EXPECT_FLOAT_EQ(people[0].confidence, 0.7f);
  EXPECT_FLOAT_EQ(people[1].confidence, 0.9f);
}

TEST(DetectedPeople, ATileWithoutPixelsFindsNobodyWithoutAskingTheDetector) {
  ScriptedDetector detector;
  EXPECT_TRUE(peopleIn({2000, 0, 100, 100}, {seen(0.9f, 10, 10, 50, 50)}, &detector).empty());
  EXPECT_TRUE(detector.seenSizes.empty());
}

TEST(DetectedPeople, PassesTheDetectorsFailureThroughUnchanged) {
  const UprightImage image = coordinateImage(10, 10);
  ScriptedDetector detector;
  detector.answer = [](const UprightImage&) -> std::vector<HumanObservation> { throw std::runtime_error("boom"); };
  EXPECT_THROW(detectedPeople(image, {0, 0, 10, 10}, {10, 10}, detector, HumanRequest{}), std::runtime_error);
}

HumanBox box(double x, double y, double w, double h, float confidence) { return {Rect{x, y, w, h}, confidence}; }

TEST(DeduplicatedPeople, DropsTheLessConfidentOfTwoBoxesOverlappingByHalfTheirUnion) {
  // Intersection 100 × 100, union 2 × 150 × 100 − 100 × 100: IoU 0.5.
  const auto kept = deduplicatedPeople({box(50, 0, 150, 100, 0.8f), box(0, 0, 150, 100, 0.9f)});
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_FLOAT_EQ(kept[0].confidence, 0.9f);
  // IoU 0.4 and containment below 0.8: two people.
  EXPECT_EQ(deduplicatedPeople({box(0, 0, 100, 100, 0.9f), box(100.0 * 3 / 7, 0, 100, 100, 0.8f)}).size(), 2u);
}

TEST(DeduplicatedPeople, DropsASmallBoxLyingInsideAMoreConfidentOne) {
  const auto kept = deduplicatedPeople({box(10, 10, 20, 40, 0.7f), box(0, 0, 200, 400, 0.9f)});
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].bounds, (Rect{0, 0, 200, 400}));
  // Boxes that only touch do not collide.
  EXPECT_EQ(deduplicatedPeople({box(0, 0, 10, 10, 0.9f), box(10, 0, 10, 10, 0.8f)}).size(), 2u);
}

TEST(DeduplicatedPeople, SortsByConfidenceAndKeepsTheFirstOfEqualOnes) {
  const auto first = deduplicatedPeople({box(0, 0, 100, 100, 0.8f), box(5, 0, 100, 100, 0.8f), box(500, 0, 10, 10, 0.95f)});
  ASSERT_EQ(first.size(), 2u);
  EXPECT_FLOAT_EQ(first[0].confidence, 0.95f);
  EXPECT_EQ(first[1].bounds.x, 0);
  const auto second = deduplicatedPeople({box(5, 0, 100, 100, 0.8f), box(0, 0, 100, 100, 0.8f)});
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].bounds.x, 5);
}

TEST(ConfiguredHumanRequest, TakesTheFirstCpuOfEveryStageElseItsFirstGpu) {
  ScriptedDetector detector;
  detector.devices = [] {
    return ComputeStageDevices{
        {ComputeStage::main, {{ComputeDeviceKind::gpu, 0}, {ComputeDeviceKind::cpu, 1}, {ComputeDeviceKind::cpu, 2}}},
        {ComputeStage::postProcessing, {{ComputeDeviceKind::neuralEngine, 0}, {ComputeDeviceKind::gpu, 3}}}};
  };
  const HumanRequest request = configuredHumanRequest(detector);
  EXPECT_EQ(request.computeDevices.at(ComputeStage::main), (ComputeDevice{ComputeDeviceKind::cpu, 1}));
  EXPECT_EQ(request.computeDevices.at(ComputeStage::postProcessing), (ComputeDevice{ComputeDeviceKind::gpu, 3}));
}

TEST(ConfiguredHumanRequest, RefusesAnEmptyTableOrAStageWithoutUsableDevice) {
  ScriptedDetector detector;
  detector.devices = [] { return ComputeStageDevices{}; };
  try {
    configuredHumanRequest(detector);
    FAIL();
  } catch (CutoutFailure failure) {
    EXPECT_EQ(failure, CutoutFailure::noForeground);
  }
  detector.devices = [] {
    return ComputeStageDevices{{ComputeStage::main, {{ComputeDeviceKind::cpu, 0}}},
                               {ComputeStage::postProcessing, {{ComputeDeviceKind::neuralEngine, 0}}}};
  };
  EXPECT_THROW(configuredHumanRequest(detector), CutoutFailure);
}

TEST(ConfiguredHumanRequest, PassesAFailedDeviceQueryThroughUnchanged) {
  ScriptedDetector detector;
  detector.devices = []() -> ComputeStageDevices { throw std::logic_error("no devices"); };
  EXPECT_THROW(configuredHumanRequest(detector), std::logic_error);
}

}  // namespace
}  // namespace rezoro::cutout
