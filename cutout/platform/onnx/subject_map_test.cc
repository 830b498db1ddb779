#include "cutout/platform/onnx/subject_map.h"

#include <gtest/gtest.h>

#include "cutout/platform/onnx/isnet_engine.h"

namespace rezoro::cutout {
namespace {

// A width × height map, background everywhere except the filled rectangles.
ProbabilityMap mapWith(int64_t width, int64_t height, const std::vector<Rect>& filled, float value = 1.0f) {
  ProbabilityMap map{width, height, std::vector<float>(size_t(width * height), 0.0f)};
  for (const Rect& r : filled) {
    for (int64_t y = int64_t(r.y); y < int64_t(r.y + r.height); ++y) {
      for (int64_t x = int64_t(r.x); x < int64_t(r.x + r.width); ++x) map.values[size_t(y * width + x)] = value;
    }
  }
  return map;
}

constexpr std::array<bool, 4> allOpen{true, true, true, true};

TEST(CropHoldsSubject, AcceptsAFigureInsideItsBox) {
  const ProbabilityMap crop = mapWith(100, 100, {{30, 30, 40, 40}});
  EXPECT_TRUE(cropHoldsSubject(crop, {25, 25, 50, 50}, allOpen));
}

TEST(CropHoldsSubject, NeedsAFifthOfTheBoxInForeground) {
  // Box of 10 × 10; 20 of its pixels are foreground (exactly a fifth) or 19.
  ProbabilityMap crop = mapWith(40, 40, {{15, 15, 10, 2}});
  EXPECT_TRUE(cropHoldsSubject(crop, {15, 15, 10, 10}, allOpen));
  crop.values[size_t(16 * 40 + 24)] = 0.49f;
  EXPECT_FALSE(cropHoldsSubject(crop, {15, 15, 10, 10}, allOpen));
}

TEST(CropHoldsSubject, RefusesForegroundMostlyOutsideTheGrownBox) {
  // The box holds its figure, but a larger region lies far from it.
  const ProbabilityMap crop = mapWith(200, 100, {{10, 40, 20, 20}, {120, 20, 40, 60}});
  EXPECT_FALSE(cropHoldsSubject(crop, {5, 35, 30, 30}, allOpen));
  // Within a quarter of the box's size around it counts as inside.
  const ProbabilityMap near = mapWith(200, 100, {{10, 40, 20, 20}, {36, 40, 6, 20}});
  EXPECT_TRUE(cropHoldsSubject(near, {5, 35, 30, 30}, allOpen));
}

TEST(CropHoldsSubject, RefusesAFigureCutByASideInsideThePicture) {
  // Foreground along the whole left side of the crop.
  const ProbabilityMap crop = mapWith(100, 100, {{0, 20, 60, 60}});
  EXPECT_FALSE(cropHoldsSubject(crop, {0, 15, 65, 70}, allOpen));
  // The same side on the picture's own edge cuts nothing.
  EXPECT_TRUE(cropHoldsSubject(crop, {0, 15, 65, 70}, {false, true, true, true}));
  // Touching a tenth of the side, not more, is allowed: 10 of 100 rows.
  const ProbabilityMap touching = mapWith(100, 100, {{0, 45, 50, 10}, {10, 20, 40, 60}});
  EXPECT_TRUE(cropHoldsSubject(touching, {0, 15, 55, 70}, allOpen));
  const ProbabilityMap more = mapWith(100, 100, {{0, 45, 50, 11}, {10, 20, 40, 60}});
  EXPECT_FALSE(cropHoldsSubject(more, {0, 15, 55, 70}, allOpen));
}

TEST(CloserPassAgrees, NeedsTheGivenIntersectionOverUnion) {
  const ProbabilityMap map = mapWith(100, 100, {{20, 20, 20, 10}});  // 200 pixels
  // The closer pass over (10, 10, 50, 50) finds 100 of them and nothing else: IoU 0.5.
  const ProbabilityMap closer = mapWith(50, 50, {{10, 10, 10, 10}});
  EXPECT_TRUE(closerPassAgrees(map, closer, {10, 10, 50, 50}, 0.5));
  EXPECT_FALSE(closerPassAgrees(map, closer, {10, 10, 50, 50}, 0.51));
  EXPECT_FALSE(closerPassAgrees(map, mapWith(50, 50, {}), {10, 10, 50, 50}, 0.5));
}

TEST(SubjectMapGeometry, BoundsSharesAndPaddedCrops) {
  const ProbabilityMap map = mapWith(100, 80, {{10, 20, 30, 10}, {60, 50, 5, 5}});
  EXPECT_EQ(foregroundBounds(map), (Rect{10, 20, 55, 35}));
  EXPECT_TRUE(foregroundBounds(mapWith(10, 10, {})).isNull());
  EXPECT_DOUBLE_EQ(foregroundShare(map, {0, 0, 40, 30}), 300.0 / 1200.0);
  EXPECT_EQ(foregroundShare(map, {200, 200, 10, 10}), 0.0);
  // A quarter on each side, clipped to the map; at least the minimum.
  EXPECT_EQ(paddedCrop({40, 40, 20, 20}, 0.25, 0.25, 0, 100, 80), (Rect{35, 35, 30, 30}));
  EXPECT_EQ(paddedCrop({90, 70, 8, 8}, 0.25, 0.25, 4, 100, 80), (Rect{86, 66, 14, 14}));
}

TEST(GuidedRefine, MovesAnEdgeTowardsThePicturesEdgeAndKeepsFlatRegions) {
  // The picture is dark left of column 50 and bright from it on; the map's edge sits at column 46.
  const int64_t width = 100, height = 20;
  std::vector<uint8_t> gray(size_t(width * height));
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) gray[size_t(y * width + x)] = x < 50 ? 30 : 220;
  }
  ProbabilityMap map = mapWith(width, height, {{46, 0, 54, 20}});
  guidedRefine(map, gray, 8, 1e-3f);
  const auto at = [&](int64_t x) { return map.values[size_t(10 * width + x)]; };
  EXPECT_LT(at(46), 0.5f);  // background now, like the dark picture there
  EXPECT_LT(at(47), 0.5f);
  EXPECT_GE(at(50), 0.5f);
  EXPECT_NEAR(at(5), 0.0f, 1e-4);
  EXPECT_NEAR(at(95), 1.0f, 1e-4);
}

// Fakes for subjectMap: the network pass answers by the size of what it is shown.
struct FakeNetwork {
  ProbabilityMap whole;                 // for the whole picture
  std::vector<ProbabilityMap> crops;    // for each crop, in turn (empty maps when they run out)
  std::vector<std::pair<int64_t, int64_t>> shown;
  ProbabilityMap operator()(const UprightImage& image) {
    shown.emplace_back(image.width, image.height);
    if (shown.size() == 1) return whole;
    const size_t crop = shown.size() - 2;
    return crop < crops.size() ? crops[crop] : mapWith(8, 8, {});
  }
};

UprightImage flatPicture(int64_t width, int64_t height) {
  return {width, height, std::vector<uint8_t>(size_t(width * height * 3), 128)};
}

TEST(SubjectMap, AddsABoxedSubjectTheWholePassMissedAsASecondInstance) {
  const UprightImage picture = flatPicture(400, 200);
  FakeNetwork network;
  // The whole pass (at 100 × 50 for the 400 × 200 picture) finds one subject on the left.
  network.whole = mapWith(100, 50, {{10, 10, 20, 30}});
  // The box on the right; its crop pass (padded to 92 × 150) finds the figure in its middle.
  network.crops = {mapWith(80, 100, {{16, 16, 48, 68}})};
  const std::vector<DetectedObject> objects{{15, 0.9f, {40, 40, 80, 120}}, {16, 0.8f, {260, 40, 60, 100}}};
  const ProbabilityMap map = subjectMap(picture, std::ref(network), [&](const UprightImage&) { return objects; });
  ASSERT_EQ(network.shown.size(), 2u);  // the left subject is covered; no closer look at the wide pair
  EXPECT_EQ(network.shown[1], (std::pair<int64_t, int64_t>{92, 150}));
  EXPECT_GT(foregroundShare(map, {275, 55, 30, 70}), 0.9);
  ProbabilityMap labelled = map;
  EXPECT_EQ(keepInstances(labelled, minimumInstanceArea(map.width, map.height)).count, 2);
}

TEST(SubjectMap, RefusesACropThatDoesNotHoldTheBoxedSubject) {
  const UprightImage picture = flatPicture(400, 200);
  FakeNetwork network;
  network.whole = mapWith(100, 50, {{10, 10, 20, 30}});
  // The crop pass finds foreground along its whole left side: a cut-off figure, not a subject.
  network.crops = {mapWith(92, 150, {{0, 0, 30, 150}})};
  const std::vector<DetectedObject> objects{{15, 0.9f, {40, 40, 80, 120}}, {16, 0.8f, {260, 40, 60, 100}}};
  const ProbabilityMap map = subjectMap(picture, std::ref(network), [&](const UprightImage&) { return objects; });
  EXPECT_EQ(foregroundShare(map, {240, 0, 160, 200}), 0.0);
}

TEST(SubjectMap, LooksCloserAtASmallSubject) {
  const UprightImage picture = flatPicture(400, 400);
  FakeNetwork network;
  network.whole = mapWith(100, 100, {{10, 10, 20, 20}});
  // The closer look at the subject's padded bounds (40..120 grown by 15 %, 16 pixels at least) finds
  // a part of it that the whole pass missed (an arm, to the right) and the body again.
  network.crops = {mapWith(112, 112, {{16, 16, 80, 80}, {96, 40, 10, 10}})};
  const std::vector<DetectedObject> objects{{16, 0.9f, {40, 40, 80, 80}}};
  const ProbabilityMap map = subjectMap(picture, std::ref(network), [&](const UprightImage&) { return objects; });
  ASSERT_EQ(network.shown.size(), 2u);
  EXPECT_EQ(network.shown[1], (std::pair<int64_t, int64_t>{112, 112}));
  EXPECT_GT(foregroundShare(map, {45, 45, 70, 70}), 0.95);
  EXPECT_GT(foregroundShare(map, {122, 66, 6, 6}), 0.9);  // the arm, added
}

TEST(SubjectMap, KeepsTheWholePassWhereTheCloserLookDisagrees) {
  const UprightImage picture = flatPicture(400, 400);
  FakeNetwork network;
  network.whole = mapWith(100, 100, {{10, 10, 20, 20}});
  // The closer pass sees something else in the crop: a corner of the background.
  network.crops = {mapWith(112, 112, {{0, 0, 20, 20}})};
  const ProbabilityMap map = subjectMap(picture, std::ref(network), [&](const UprightImage&) {
    return std::vector<DetectedObject>{};
  });
  ASSERT_EQ(network.shown.size(), 2u);
  EXPECT_EQ(foregroundShare(map, {26, 26, 14, 14}), 0.0);
  EXPECT_GT(foregroundShare(map, {45, 45, 70, 70}), 0.95);
}

TEST(SubjectMap, RunsAtMostTheAllowedExtraPasses) {
  const UprightImage picture = flatPicture(400, 400);
  FakeNetwork network;
  network.whole = mapWith(100, 100, {});
  std::vector<DetectedObject> objects;
  for (int i = 0; i < 4; ++i) objects.push_back({16, 0.9f, {double(20 + 90 * i), 150, 60, 60}});
  subjectMap(picture, std::ref(network), [&](const UprightImage&) { return objects; });
  EXPECT_EQ(network.shown.size(), size_t(1 + maximumExtraPasses));
}

}  // namespace
}  // namespace rezoro::cutout
