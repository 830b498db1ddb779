#include "capture/platform/changed_area.h"

#include <gtest/gtest.h>

namespace rezoro::capture {
namespace {

TEST(ChangedArea, ClipsDropsWhatIsHeldAndMergesIntoTheBoxWhenMostOfItIsCovered) {
  ChangedArea area(PixelRect{0, 0, 100, 50});
  area.add({-10, -10, 20, 20});
  area.add({200, 0, 5, 5});  // outside
  area.add({2, 2, 4, 4});    // inside what is held
  ASSERT_EQ(area.rects().size(), 1u);
  EXPECT_EQ(area.rects()[0], (PixelRect{0, 0, 10, 10}));

  area.add({80, 40, 10, 10});  // far away: kept apart
  EXPECT_EQ(area.rects().size(), 2u);
  area.add({0, 10, 90, 40});   // now most of the box is covered
  ASSERT_EQ(area.rects().size(), 1u);
  EXPECT_EQ(area.rects()[0], (PixelRect{0, 0, 90, 50}));
}

TEST(ChangedArea, ManySmallPiecesBecomeOneBox) {
  ChangedArea area(PixelRect{0, 0, 1000, 1000});
  for (int i = 0; i <= static_cast<int>(ChangedArea::kMostRectangles); ++i) area.add({i * 50, i * 50, 2, 2});
  ASSERT_EQ(area.rects().size(), 1u);
  EXPECT_EQ(area.rects()[0], (PixelRect{0, 0, 802, 802}));
}

TEST(ScaledForChroma, EvenEdgesUnscaledAndTheFilterReachWhenScaled) {
  EXPECT_EQ(scaledForChroma({3, 5, 2, 1}, 100, 100, 100, 100), (PixelRect{2, 4, 4, 2}));
  EXPECT_EQ(scaledForChroma({98, 98, 3, 3}, 101, 101, 101, 101), (PixelRect{98, 98, 3, 3}));  // odd edge kept
  // Halved: source 40..60 reaches 20..30, one more for the filter, then even.
  EXPECT_EQ(scaledForChroma({40, 40, 20, 20}, 200, 200, 100, 100), (PixelRect{18, 18, 14, 14}));
  EXPECT_EQ(scaledForChroma({0, 0, 200, 200}, 200, 200, 100, 100), (PixelRect{0, 0, 100, 100}));
  EXPECT_TRUE(scaledForChroma({}, 200, 200, 100, 100).empty());
}

}  // namespace
}  // namespace rezoro::capture
