#include "cutout/segmentation/edge_refinement.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>

namespace rezoro::cutout {
namespace {

using Colour = std::array<uint8_t, 3>;
constexpr Colour red{200, 40, 40}, blue{30, 60, 200}, gray{120, 120, 120}, light{230, 230, 230}, dark{20, 20, 20};

UprightImage pictureOf(int64_t width, int64_t height, const std::function<Colour(int64_t, int64_t)>& colour) {
  UprightImage picture{width, height, std::vector<uint8_t>(size_t(width * height * 3))};
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      const Colour c = colour(x, y);
      std::copy(c.begin(), c.end(), picture.rgb.begin() + (y * width + x) * 3);
    }
  }
  return picture;
}

ProbabilityMap mapOf(int64_t width, int64_t height, const std::function<float(int64_t, int64_t)>& value) {
  ProbabilityMap map{width, height, std::vector<float>(size_t(width * height))};
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) map.values[size_t(y * width + x)] = value(x, y);
  }
  return map;
}

// A soft edge centred at x = 32, two pixels right of the photo's edge at 30, over faint haze.
float blurredStep(int64_t x, int64_t) {
  if (x >= 50) return 0.05f;
  return std::clamp((32.0f - float(x)) / 6.0f + 0.5f, 0.0f, 1.0f);
}

TEST(RefineEdges, MovesASoftEdgeOntoTheSharpEdgeOfThePhotoUpToTheBordersItTouches) {
  // The subject fills the left of the picture and touches its top, left and bottom borders.
  const UprightImage picture = pictureOf(80, 40, [](int64_t x, int64_t) { return x < 30 ? red : blue; });
  ProbabilityMap map = mapOf(80, 40, blurredStep);
  const ProbabilityMap before = map;
  refineEdges(map, picture, 4);
  for (const int64_t y : {0, 1, 20, 38, 39}) {
    for (int64_t x = 0; x < 30; ++x) EXPECT_GT(map.values[size_t(y * 80 + x)], 0.99f) << x << "," << y;
    for (int64_t x = 30; x < 40; ++x) EXPECT_LT(map.values[size_t(y * 80 + x)], 0.01f) << x << "," << y;
  }
  // Outside the band (4 pixels each side of the map's own edge at 32..33) nothing changes,
  // the haze included.
  for (size_t i = 0; i < map.values.size(); ++i) {
    const int64_t x = int64_t(i % 80);
    if (x < 28 || x > 37) {
      EXPECT_EQ(map.values[i], before.values[i]) << x;
    }
  }
}

TEST(RefineEdges, RefinesEverySideOfASubjectAwayFromTheBorders) {
  // A red square at 30..49 on blue; the map's square is soft and two pixels larger on each side.
  const auto inSquare = [](int64_t t) { return t >= 30 && t < 50; };
  const UprightImage picture =
      pictureOf(100, 90, [&](int64_t x, int64_t y) { return inSquare(x) && inSquare(y) ? red : blue; });
  const auto side = [](int64_t t) {
    return std::min(std::clamp((float(t) - 28.0f) / 4.0f + 0.5f, 0.0f, 1.0f),
                    std::clamp((52.0f - float(t)) / 4.0f + 0.5f, 0.0f, 1.0f));
  };
  ProbabilityMap map = mapOf(100, 90, [&](int64_t x, int64_t y) { return std::min(side(x), side(y)); });
  const ProbabilityMap before = map;
  refineEdges(map, picture, 4);
  for (int64_t t = 26; t < 54; ++t) {
    const bool inside = inSquare(t);
    const float across = map.values[size_t(40 * 100 + t)], down = map.values[size_t(t * 100 + 40)];
    EXPECT_EQ(across > 0.99f, inside) << "row 40, x " << t << ": " << across;
    EXPECT_EQ(down > 0.99f, inside) << "column 40, y " << t << ": " << down;
    if (!inside) {
      EXPECT_LT(across, 0.01f) << t;
      EXPECT_LT(down, 0.01f) << t;
    }
  }
  for (size_t i = 0; i < map.values.size(); ++i) {
    const int64_t x = int64_t(i % 100), y = int64_t(i / 100);
    if (x < 20 || x > 60 || y < 20 || y > 60) {
      EXPECT_EQ(map.values[i], before.values[i]) << x << "," << y;
    }
  }
}

TEST(RefineEdges, StaysSoftWhereThePhotoItselfMixesSubjectAndBackground) {
  // The photo blends red into blue over x = 28..32 (a blurred or furry edge); the map steps at 30.
  const UprightImage picture = pictureOf(60, 30, [](int64_t x, int64_t) {
    const double t = std::clamp((double(x) - 27.0) / 6.0, 0.0, 1.0);
    Colour c{};
    for (size_t k = 0; k < 3; ++k) c[k] = uint8_t(std::lround(red[k] * (1 - t) + blue[k] * t));
    return c;
  });
  ProbabilityMap map = mapOf(60, 30, [](int64_t x, int64_t) { return x < 30 ? 1.0f : 0.0f; });
  refineEdges(map, picture, 4);
  const float middle = map.values[size_t(15 * 60 + 30)];
  EXPECT_GT(middle, 0.3f);
  EXPECT_LT(middle, 0.7f);
  EXPECT_GT(map.values[size_t(15 * 60 + 28)], map.values[size_t(15 * 60 + 30)]);
  EXPECT_GT(map.values[size_t(15 * 60 + 30)], map.values[size_t(15 * 60 + 32)]);
}

TEST(RefineEdges, KeepsTheMapWhereSubjectAndBackgroundLookAlike) {
  const UprightImage picture = pictureOf(80, 40, [](int64_t x, int64_t) {
    return x < 30 ? gray : Colour{125, 118, 122};
  });
  ProbabilityMap map = mapOf(80, 40, blurredStep);
  const ProbabilityMap before = map;
  refineEdges(map, picture, 4);
  EXPECT_EQ(map.values, before.values);
}

TEST(RefineEdges, KeepsAStructureThinnerThanTheBand) {
  // A dark line two pixels wide on a light wall: no pixel of it is surely subject, so the map stands.
  const UprightImage picture = pictureOf(60, 40, [](int64_t x, int64_t) { return x == 30 || x == 31 ? dark : light; });
  ProbabilityMap map = mapOf(60, 40, [](int64_t x, int64_t) {
    return x == 30 || x == 31 ? 0.9f : x == 29 || x == 32 ? 0.3f : 0.0f;
  });
  const ProbabilityMap before = map;
  refineEdges(map, picture, 3);
  EXPECT_EQ(map.values, before.values);
}

TEST(RefineEdges, KeepsTheMapWhereItsEdgeWindsThroughARegionTheNetworkWasUnsureOf) {
  // Blocks of 6 × 6 alternate between subject and background in the map over a red and blue
  // photo: only the blocks' 2 × 2 centres are sure, too few to stand for either side.
  const UprightImage picture = pictureOf(60, 60, [](int64_t x, int64_t) { return x < 30 ? red : blue; });
  ProbabilityMap map = mapOf(60, 60, [](int64_t x, int64_t y) { return (x / 6 + y / 6) % 2 ? 0.7f : 0.3f; });
  const ProbabilityMap before = map;
  refineEdges(map, picture, 2);
  EXPECT_EQ(map.values, before.values);
}

TEST(RefineEdges, LeavesMapsWithoutAnEdgeAlone) {
  const UprightImage picture = pictureOf(40, 30, [](int64_t x, int64_t) { return x < 20 ? red : blue; });
  for (const float value : {0.0f, 0.1f, 0.49f, 0.5f, 0.93f}) {
    ProbabilityMap map = mapOf(40, 30, [value](int64_t, int64_t) { return value; });
    const ProbabilityMap before = map;
    refineEdges(map, picture, 3);
    EXPECT_EQ(map.values, before.values) << value;
  }
}

TEST(RefineEdges, IgnoresAPictureOfAnotherSize) {
  const UprightImage picture = pictureOf(40, 30, [](int64_t x, int64_t) { return x < 20 ? red : blue; });
  ProbabilityMap map = mapOf(41, 30, [](int64_t x, int64_t) { return x < 21 ? 0.8f : 0.1f; });
  const ProbabilityMap before = map;
  refineEdges(map, picture, 3);
  EXPECT_EQ(map.values, before.values);
}

TEST(ClearDetachedTails, KeepsTheEdgesOuterPixelAndClearsTheTailBeyondIt) {
  // A subject at x < 10 of a 20 × 5 map, touching the top, left and bottom borders, whose tail
  // fades to the right over x = 10..15.
  ProbabilityMap map = mapOf(20, 5, [](int64_t x, int64_t) {
    return x < 10 ? (x == 9 ? 0.5f : 0.8f) : std::max(0.0f, 0.45f - 0.05f * float(x - 10));
  });
  clearDetachedTails(map);
  for (int64_t y = 0; y < 5; ++y) {
    for (int64_t x = 0; x < 20; ++x) {
      const float value = map.values[size_t(y * 20 + x)];
      const float expected = x < 9 ? 0.8f : x == 9 ? 0.5f : x == 10 ? 0.45f : 0.0f;
      EXPECT_EQ(value, expected) << x << "," << y;
    }
  }
}

TEST(ClearDetachedTails, KeepsEveryNeighbourOfAThinSubjectDiagonalsIncluded) {
  // A one-pixel diagonal line at 0.6 over a haze of 0.3, the line running into two corners: a pixel
  // two columns off the line touches it at a corner.
  ProbabilityMap map = mapOf(9, 9, [](int64_t x, int64_t y) { return x == y ? 0.6f : 0.3f; });
  clearDetachedTails(map);
  for (int64_t y = 0; y < 9; ++y) {
    for (int64_t x = 0; x < 9; ++x) {
      const float expected = x == y ? 0.6f : std::abs(x - y) <= 2 ? 0.3f : 0.0f;
      EXPECT_EQ(map.values[size_t(y * 9 + x)], expected) << x << "," << y;
    }
  }
}

TEST(ClearDetachedTails, ClearsAMapWithoutSubjectAndLeavesAnInconsistentOneAlone) {
  ProbabilityMap haze = mapOf(6, 4, [](int64_t x, int64_t y) { return 0.4f + 0.09f * float(x + y) / 8.0f; });
  clearDetachedTails(haze);
  for (const float value : haze.values) EXPECT_EQ(value, 0.0f);

  ProbabilityMap wrong{6, 4, std::vector<float>(5, 0.3f)};
  clearDetachedTails(wrong);
  EXPECT_EQ(wrong.values, std::vector<float>(5, 0.3f));
}

}  // namespace
}  // namespace rezoro::cutout
