#include "cutout/segmentation/human_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "cutout/contract/cutout_failure.h"
#include "cutout/segmentation/recovery_test_support.h"

namespace rezoro::cutout {
namespace {

using testing::coordinateImage;
using testing::FixedImageSource;
using testing::maskWithBlock;
using testing::SceneEngine;
using testing::ScriptedDetector;

HumanBox person(double x, double y, double w, double h, float confidence = 0.9f) {
  return {Rect{x, y, w, h}, confidence};
}

CutoutFailure failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (CutoutFailure failure) {
    return failure;
  }
  ADD_FAILURE() << "no CutoutFailure thrown";
  return CutoutFailure::nativeFailure;
}

// A 2000 × 1000 picture whose segmentation finds the figure of the person standing in
// (500, 200, 100, 300), unless a test draws another scene.
struct Picture {
  UprightImage image = coordinateImage(2000, 1000);
  GrayMask scene = maskWithBlock(2000, 1000, 510, 205, 590, 495);
};

TEST(HumanSearchTiles, CoversTheImageAndNineOverlappingTilesCentreFirst) {
  const std::vector<Rect> expected{{0, 0, 1000, 500},   {300, 100, 400, 300}, {0, 0, 400, 300},
                                   {300, 0, 400, 300},  {600, 0, 400, 300},   {0, 100, 400, 300},
                                   {600, 100, 400, 300}, {0, 200, 400, 300},  {300, 200, 400, 300},
                                   {600, 200, 400, 300}};
  EXPECT_EQ(humanSearchTiles(1000, 500), expected);
  EXPECT_EQ(humanSearchTiles(1, 1), (std::vector<Rect>{{0, 0, 1, 1}}));
  // One pixel wide: the three columns collapse into one, the three rows stay apart.
  EXPECT_EQ(humanSearchTiles(1, 10), (std::vector<Rect>{{0, 0, 1, 10}, {0, 2, 1, 6}, {0, 0, 1, 6}, {0, 4, 1, 6}}));
}

TEST(RecoveryCrop, PadsTheGroupAndSnapsToWholePixelsInsideTheImage) {
  const HumanGroup group{{500, 200, 100, 300}, {person(500, 200, 100, 300)}};
  EXPECT_EQ(recoveryCrop(group, 0.2, 0.2, 2000, 1000), (Rect{480, 140, 140, 420}));
  EXPECT_EQ(recoveryCrop(group, 0.5, 0.4, 2000, 1000), (Rect{450, 80, 200, 540}));
  // Small people get at least 4 pixels on every side.
  const HumanGroup small{{100, 100, 10, 20}, {person(100, 100, 10, 20)}};
  EXPECT_EQ(recoveryCrop(small, 0.2, 0.2, 2000, 1000), (Rect{96, 96, 18, 28}));
  // Clipped by the image, fractional bounds snapped outwards.
  const HumanGroup corner{{0.5, 10.25, 100, 300}, {person(0.5, 10.25, 100, 300)}};
  EXPECT_EQ(recoveryCrop(corner, 0.2, 0.2, 110, 1000), (Rect{0, 0, 110, 371}));
}

TEST(GroupedPeople, MergesNeighboursWithinTheirWidenedNeighbourhoods) {
  // Each 100-pixel-wide neighbourhood reaches 60 pixels outwards.
  EXPECT_EQ(groupedPeople({person(0, 0, 100, 200), person(210, 0, 100, 200)}).size(), 1u);
  EXPECT_EQ(groupedPeople({person(0, 0, 100, 200), person(230, 0, 100, 200)}).size(), 2u);
  // 300 tall: 60 pixels upwards and downwards each.
  EXPECT_EQ(groupedPeople({person(0, 0, 100, 300), person(0, 419, 100, 300)}).size(), 1u);
  EXPECT_EQ(groupedPeople({person(0, 0, 100, 300), person(0, 420, 100, 300)}).size(), 2u);
}

TEST(GroupedPeople, RescansAfterEveryMergeAndKeepsTheOrderOfJoining) {
  // The last person only reaches the first once the first has merged with the third into a wider group.
  const auto groups = groupedPeople({person(0, 0, 100, 200), person(1800, 0, 100, 200), person(210, 0, 100, 200),
                                     person(550, 0, 100, 200)});
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].bounds, (Rect{0, 0, 650, 200}));
  ASSERT_EQ(groups[0].people.size(), 3u);
  EXPECT_EQ(groups[0].people[1].bounds.x, 210);
  EXPECT_EQ(groups[0].people[2].bounds.x, 550);
  EXPECT_EQ(groups[1].bounds.x, 1800);
}

TEST(RecoverPeople, PastesTheAcceptedCropIntoAnOtherwiseEmptyMask) {
  Picture picture;
  SceneEngine engine(picture.scene);
  int64_t cropPasses = 3;
  const RecoveredMask recovered =
      recoverPeople({person(500, 200, 100, 300)}, picture.image, 0.2, 0.2, 1, cropPasses, engine);
  EXPECT_EQ(recovered.mask.width, 2000);
  EXPECT_EQ(recovered.mask.height, 1000);
  EXPECT_EQ(recovered.mask.bytes, picture.scene.bytes);
  EXPECT_EQ(recovered.detectionPasses, 1);
  EXPECT_EQ(recovered.peopleCount, 1);
  EXPECT_EQ(recovered.cropPasses, 4);
  EXPECT_EQ(cropPasses, 4);
  EXPECT_EQ(recovered.instanceCount, 1);
}

TEST(RecoverPeople, CombinesOverlappingCropsByMaximumAndCountsEveryPass) {
  Picture picture;
  // One person above another, 150 pixels apart: two groups whose 0.4-padded crops share rows 380..469.
  picture.scene = maskWithBlock(2000, 1000, 510, 55, 590, 345);
  const GrayMask lower = maskWithBlock(2000, 1000, 510, 505, 590, 795);
  for (size_t i = 0; i < lower.bytes.size(); ++i) picture.scene.bytes[i] |= lower.bytes[i];
  SceneEngine engine(picture.scene);
  // Each crop's background differs (40 in the first, 30 in the second), so the paste order shows.
  engine.background = [](int pass) { return uint8_t(50 - 10 * pass); };
  int64_t cropPasses = 0;
  const RecoveredMask recovered = recoverPeople({person(500, 50, 100, 300), person(500, 500, 100, 300)},
                                                picture.image, 0.5, 0.4, 10, cropPasses, engine);
  GrayMask expected = maskWithBlock(2000, 1000, 0, 0, 0, 0);
  for (int64_t y = 380; y < 920; ++y) std::fill_n(expected.bytes.begin() + y * 2000 + 450, 200, 30);
  for (int64_t y = 0; y < 470; ++y) std::fill_n(expected.bytes.begin() + y * 2000 + 450, 200, 40);
  for (size_t i = 0; i < expected.bytes.size(); ++i) expected.bytes[i] = std::max(expected.bytes[i], picture.scene.bytes[i]);
  EXPECT_EQ(recovered.mask.bytes, expected.bytes);
  EXPECT_EQ(recovered.peopleCount, 2);
  EXPECT_EQ(recovered.cropPasses, 2);
  EXPECT_EQ(recovered.instanceCount, 2);
  EXPECT_EQ(recovered.detectionPasses, 10);
}

TEST(RecoverPeople, RefusesWrongBoxCountsAndMoreThanFourGroupsBeforeSegmenting) {
  Picture picture;
  SceneEngine engine(picture.scene);
  int64_t cropPasses = 0;
  EXPECT_EQ(failureOf([&] { recoverPeople({}, picture.image, 0.2, 0.2, 1, cropPasses, engine); }),
            CutoutFailure::noForeground);
  std::vector<HumanBox> crowd(25, person(500, 200, 100, 300));
  EXPECT_EQ(failureOf([&] { recoverPeople(crowd, picture.image, 0.2, 0.2, 1, cropPasses, engine); }),
            CutoutFailure::noForeground);
  std::vector<HumanBox> apart;
  for (int i = 0; i < 5; ++i) apart.push_back(person(20 + 400 * i, 200, 100, 300));
  EXPECT_EQ(failureOf([&] { recoverPeople(apart, picture.image, 0.2, 0.2, 1, cropPasses, engine); }),
            CutoutFailure::noForeground);
  EXPECT_EQ(engine.performs, 0);
  EXPECT_EQ(cropPasses, 0);
  // 24 boxes of one person form one group and are accepted.
  std::vector<HumanBox> same(24, person(500, 200, 100, 300));
  EXPECT_EQ(recoverPeople(same, picture.image, 0.2, 0.2, 1, cropPasses, engine).peopleCount, 24);
}

TEST(RecoverPeople, RejectsAFigureCutByTheCropButNotOneCutByTheImage) {
  Picture picture;
  // The figure reaches left beyond the crop, which starts at x = 480 inside the image.
  picture.scene = maskWithBlock(2000, 1000, 400, 205, 590, 495);
  SceneEngine cut(picture.scene);
  int64_t cropPasses = 0;
  EXPECT_EQ(failureOf([&] { recoverPeople({person(500, 200, 100, 300)}, picture.image, 0.2, 0.2, 1, cropPasses, cut); }),
            CutoutFailure::noForeground);
  EXPECT_EQ(cropPasses, 1);
  // A person standing at the image's left edge, the figure running off the picture.
  SceneEngine atEdge(maskWithBlock(2000, 1000, 0, 205, 80, 495));
  const RecoveredMask recovered =
      recoverPeople({person(0, 200, 100, 300)}, picture.image, 0.2, 0.2, 1, cropPasses, atEdge);
  EXPECT_EQ(recovered.mask.bytes[size_t(300 * 2000)], 255);
}

TEST(RecoverPeople, RejectsTooLittleOrTooMuchForeground) {
  // A 2 × 8 person in a 200 × 200 image: crop (96, 96, 10, 16).
  const UprightImage image = coordinateImage(200, 200);
  GrayMask scene = maskWithBlock(200, 200, 100, 100, 101, 108);  // 8 pixels, the whole height
  for (int y = 100; y < 104; ++y) scene.bytes[size_t(y * 200 + 101)] = 255;  // 12 in all
  int64_t cropPasses = 0;
  SceneEngine twelve(scene);
  EXPECT_NO_THROW(recoverPeople({person(100, 100, 2, 8)}, image, 0.2, 0.2, 1, cropPasses, twelve));
  scene.bytes[size_t(103 * 200 + 101)] = 0;
  SceneEngine eleven(scene);
  EXPECT_EQ(failureOf([&] { recoverPeople({person(100, 100, 2, 8)}, image, 0.2, 0.2, 1, cropPasses, eleven); }),
            CutoutFailure::noForeground);

  // An 80 × 80 person in the top-left corner of 1000 × 1000: crop (0, 0, 96, 96).
  const UprightImage large = coordinateImage(1000, 1000);
  SceneEngine sixtyNinePercent(maskWithBlock(1000, 1000, 0, 0, 80, 80));
  EXPECT_NO_THROW(recoverPeople({person(0, 0, 80, 80)}, large, 0.2, 0.2, 1, cropPasses, sixtyNinePercent));
  SceneEngine eightyFivePercent(maskWithBlock(1000, 1000, 0, 0, 89, 89));
  EXPECT_EQ(failureOf([&] { recoverPeople({person(0, 0, 80, 80)}, large, 0.2, 0.2, 1, cropPasses, eightyFivePercent); }),
            CutoutFailure::noForeground);
}

TEST(RecoverPeople, RequiresEveryMembersFigureFromItsUpperToItsLowerFifth) {
  Picture picture;
  int64_t cropPasses = 0;
  // Starts 30 % of the way down the box.
  SceneEngine late(maskWithBlock(2000, 1000, 510, 290, 590, 495));
  EXPECT_EQ(failureOf([&] { recoverPeople({person(500, 200, 100, 300)}, picture.image, 0.2, 0.2, 1, cropPasses, late); }),
            CutoutFailure::noForeground);
  // Stops at 70 %.
  SceneEngine short_(maskWithBlock(2000, 1000, 510, 205, 590, 410));
  EXPECT_EQ(failureOf([&] { recoverPeople({person(500, 200, 100, 300)}, picture.image, 0.2, 0.2, 1, cropPasses, short_); }),
            CutoutFailure::noForeground);
  // Within the fifths at both ends.
  SceneEngine fits(maskWithBlock(2000, 1000, 510, 259, 590, 441));
  EXPECT_NO_THROW(recoverPeople({person(500, 200, 100, 300)}, picture.image, 0.2, 0.2, 1, cropPasses, fits));
  // A second member of the same group without a figure of its own fails the group.
  SceneEngine oneFigure(picture.scene);
  EXPECT_EQ(failureOf([&] {
              recoverPeople({person(500, 200, 100, 300), person(650, 200, 100, 300)}, picture.image, 0.2, 0.2, 1,
                            cropPasses, oneFigure);
            }),
            CutoutFailure::noForeground);
}

TEST(RecoverPeople, IsAllOrNothingOverItsGroups) {
  Picture picture;
  // The first person's figure is complete; the second person (far away) has none.
  SceneEngine engine(picture.scene);
  int64_t cropPasses = 0;
  EXPECT_EQ(failureOf([&] {
              recoverPeople({person(500, 200, 100, 300), person(1500, 200, 100, 300)}, picture.image, 0.2, 0.2, 1,
                            cropPasses, engine);
            }),
            CutoutFailure::noForeground);
  EXPECT_EQ(cropPasses, 2);
}

TEST(RecoverPeople, CountsAPassThatFailsInsideTheServiceButNotARefusedLargeCrop) {
  Picture picture;
  SceneEngine failing(picture.scene);
  failing.beforePerform = [] { throw std::runtime_error("service failed"); };
  int64_t cropPasses = 0;
  EXPECT_THROW(recoverPeople({person(500, 200, 100, 300)}, picture.image, 0.2, 0.2, 1, cropPasses, failing),
               std::runtime_error);
  EXPECT_EQ(cropPasses, 1);

  // The crop (0, 0, 202, 202) would be 65 % of a 250 × 250 image.
  SceneEngine engine(maskWithBlock(250, 250, 10, 10, 100, 100));
  cropPasses = 0;
  EXPECT_EQ(failureOf([&] {
              recoverPeople({person(10, 10, 160, 160)}, coordinateImage(250, 250), 0.2, 0.2, 1, cropPasses, engine);
            }),
            CutoutFailure::noForeground);
  EXPECT_EQ(cropPasses, 0);
  EXPECT_EQ(engine.performs, 0);
}

// A detector that sees the whole 1000 × 500 image and reports `count` copies of one person there.
ScriptedDetector crowdDetector(int count) {
  ScriptedDetector detector;
  detector.answer = [count](const UprightImage& image) {
    if (image.width != 1000) return std::vector<HumanObservation>{};
    // The person (500, 200, 100, 300) of a 1000 × 500 image.
    return std::vector<HumanObservation>(size_t(count), {0.9f, Rect{500, 200, 100, 300}});
  };
  return detector;
}

TEST(RecoverDistantPeople, SearchesEveryTileAndRecoversTheDeduplicatedPeople) {
  FixedImageSource source(coordinateImage(1000, 500));
  ScriptedDetector detector = crowdDetector(3);
  SceneEngine engine(maskWithBlock(1000, 500, 510, 205, 590, 495));
  const RecoveredMask recovered = recoverDistantPeople(source, 1000, 500, detector, engine);
  EXPECT_EQ(recovered.detectionPasses, 10);
  EXPECT_EQ(recovered.peopleCount, 1);
  EXPECT_EQ(recovered.cropPasses, 1);
  EXPECT_EQ(recovered.mask.bytes, maskWithBlock(1000, 500, 510, 205, 590, 495).bytes);
  ASSERT_EQ(detector.seenOrigins.size(), 10u);
  EXPECT_EQ(detector.seenOrigins[1], (std::pair<int64_t, int64_t>{300, 100}));
  EXPECT_EQ(detector.seenOrigins[9], (std::pair<int64_t, int64_t>{600, 200}));
}

TEST(RecoverDistantPeople, ToleratesUpTo240RawDetections) {
  FixedImageSource source(coordinateImage(1000, 500));
  SceneEngine engine(maskWithBlock(1000, 500, 510, 205, 590, 495));
  ScriptedDetector allowed = crowdDetector(240);
  EXPECT_EQ(recoverDistantPeople(source, 1000, 500, allowed, engine).peopleCount, 1);
  ScriptedDetector tooMany = crowdDetector(241);
  EXPECT_EQ(failureOf([&] { recoverDistantPeople(source, 1000, 500, tooMany, engine); }), CutoutFailure::noForeground);
  // Refused right after the first tile.
  EXPECT_EQ(tooMany.seenOrigins.size(), 1u);
}

TEST(RecoverDistantPeople, FailsWithNoForegroundWhenNobodyIsFoundOrTheDecodeIsShort) {
  FixedImageSource source(coordinateImage(1000, 500));
  SceneEngine engine(maskWithBlock(1000, 500, 510, 205, 590, 495));
  ScriptedDetector nobody;
  EXPECT_EQ(failureOf([&] { recoverDistantPeople(source, 1000, 500, nobody, engine); }), CutoutFailure::noForeground);
  EXPECT_EQ(nobody.seenOrigins.size(), 10u);
  // The decode comes back one pixel short of the expected upright size.
  ScriptedDetector detector = crowdDetector(1);
  EXPECT_EQ(failureOf([&] { recoverDistantPeople(source, 1000, 501, detector, engine); }), CutoutFailure::noForeground);
  EXPECT_TRUE(detector.seenOrigins.empty());
  // Detection unavailable.
  detector.devices = [] { return ComputeStageDevices{}; };
  EXPECT_EQ(failureOf([&] { recoverDistantPeople(source, 1000, 500, detector, engine); }), CutoutFailure::noForeground);
}

}  // namespace
}  // namespace rezoro::cutout
