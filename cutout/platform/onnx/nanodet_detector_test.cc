#include "cutout/platform/onnx/nanodet_detector.h"

#include <gtest/gtest.h>

namespace rezoro::cutout {
namespace {

// Synthetic network outputs: all scores 0 and all distance distributions flat until a test sets them.
struct Outputs {
  std::array<std::vector<float>, 3> scores;
  std::array<std::vector<float>, 3> boxes;

  Outputs() {
    for (size_t level = 0; level < 3; ++level) {
      const size_t grid = size_t(nanodetInputSize / nanodetStrides[level]);
      scores[level].assign(grid * grid * nanodetClasses, 0.0f);
      boxes[level].assign(grid * grid * 4 * nanodetBins, 0.0f);
    }
  }

  // A candidate of `score` for `classIndex` at (column, row) of a level, each side's distribution
  // peaked sharply on the given bin.
  void set(size_t level, int column, int row, int classIndex, float score, std::array<int, 4> bins) {
    const size_t grid = size_t(nanodetInputSize / nanodetStrides[level]);
    const size_t cell = size_t(row) * grid + size_t(column);
    scores[level][cell * nanodetClasses + size_t(classIndex)] = score;
    for (size_t side = 0; side < 4; ++side) boxes[level][(cell * 4 + side) * nanodetBins + size_t(bins[side])] = 40.0f;
  }

  NanodetOutputs view() const {
    NanodetOutputs view;
    for (size_t level = 0; level < 3; ++level) {
      view.scores[level] = scores[level];
      view.boxes[level] = boxes[level];
    }
    return view;
  }
};

TEST(NanodetPeople, DecodesDistancesFromTheCellCentreInInputPixels) {
  Outputs outputs;
  // Stride 8, cell (20, 10): centre (164, 84); sides 2, 3, 4, 5 bins of 8 pixels.
  outputs.set(0, 20, 10, 0, 0.9f, {2, 3, 4, 5});
  const auto people = nanodetPeople(outputs.view(), 416, 208, 0.3f);
  ASSERT_EQ(people.size(), 1u);
  EXPECT_FLOAT_EQ(people[0].confidence, 0.9f);
  // Input box (148, 60)–(196, 124) in a 416 × 208 picture, top-left origin.
  EXPECT_NEAR(people[0].bounds.x, 148, 1e-4);
  EXPECT_NEAR(people[0].bounds.y, 60, 1e-4);
  EXPECT_NEAR(people[0].bounds.width, 48, 1e-4);
  EXPECT_NEAR(people[0].bounds.height, 64, 1e-4);
}

TEST(NanodetPeople, ExpectsTheDistanceOverTheWholeDistribution) {
  Outputs outputs;
  // Stride 32, cell (3, 2): centre (112, 80). Left side split evenly between bins 1 and 3: 2 × 32.
  outputs.set(2, 3, 2, 0, 0.8f, {1, 1, 1, 1});
  const size_t cell = 2 * 13 + 3;
  outputs.boxes[2][(cell * 4 + 0) * nanodetBins + 3] = 40.0f;
  const auto people = nanodetPeople(outputs.view(), 416, 416, 0.3f);
  ASSERT_EQ(people.size(), 1u);
  EXPECT_NEAR(people[0].bounds.x, 112 - 64, 1e-3);
  EXPECT_NEAR(people[0].bounds.width, 64 + 32, 1e-3);
}

TEST(NanodetPeople, KeepsOnlyPeopleAboveTheScoreAndSuppressesOverlapsByScore) {
  Outputs outputs;
  outputs.set(1, 5, 5, 0, 0.7f, {2, 4, 2, 4});   // stride 16, centre (88, 88)
  outputs.set(1, 6, 5, 0, 0.75f, {3, 4, 1, 4});  // the same box seen from the next cell, scored higher
  outputs.set(1, 20, 5, 0, 0.5f, {2, 4, 2, 4});  // another person
  outputs.set(1, 20, 20, 0, 0.2f, {2, 4, 2, 4}); // below the reporting score
  outputs.set(1, 10, 20, 2, 0.95f, {2, 4, 2, 4}); // a car
  const auto people = nanodetPeople(outputs.view(), 416, 416, 0.3f);
  ASSERT_EQ(people.size(), 2u);
  EXPECT_FLOAT_EQ(people[0].confidence, 0.75f);
  EXPECT_FLOAT_EQ(people[1].confidence, 0.5f);
}

TEST(NanodetPeople, ClipsBoxesToThePictureInsideThePaddedInput) {
  Outputs outputs;
  // Centre (164, 84) of stride 8, reaching 80 pixels down into the padding below a 416 × 100 picture.
  outputs.set(0, 20, 10, 0, 0.9f, {2, 3, 4, 10});
  const auto people = nanodetPeople(outputs.view(), 416, 100, 0.3f);
  ASSERT_EQ(people.size(), 1u);
  EXPECT_NEAR(people[0].bounds.y, 60, 1e-4);
  EXPECT_NEAR(people[0].bounds.height, 100 - 60, 1e-4);
}

TEST(NanodetObjects, TakesEachCellsBestClassAndSuppressesOverlapsWhateverTheirClass) {
  Outputs outputs;
  // Stride 8, cell (20, 10): a dog (16) scoring 0.7 above its cat (15) score of 0.5.
  outputs.set(0, 20, 10, 16, 0.7f, {2, 3, 4, 5});
  outputs.scores[0][(10 * 52 + 20) * nanodetClasses + 15] = 0.5f;
  // The same box from the neighbouring cell as a cat of 0.6: suppressed by the dog.
  outputs.set(0, 21, 10, 15, 0.6f, {3, 3, 3, 5});
  // A banana (46) elsewhere, and a person below the score.
  outputs.set(1, 2, 2, 46, 0.5f, {1, 1, 1, 1});
  outputs.set(1, 20, 20, 0, 0.39f, {1, 1, 1, 1});
  const auto objects = nanodetObjects(outputs.view(), 416, 208, 0.4f);
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_EQ(objects[0].classIndex, 16);
  EXPECT_FLOAT_EQ(objects[0].score, 0.7f);
  // Input pixels, top-left origin: (148, 60)–(196, 124).
  EXPECT_EQ(objects[0].bounds, (Rect{148, 60, 48, 64}));
  EXPECT_EQ(objects[1].classIndex, 46);
  EXPECT_EQ(objects[1].bounds, (Rect{24, 24, 32, 32}));
}

}  // namespace
}  // namespace rezoro::cutout
