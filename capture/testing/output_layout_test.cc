#include "capture/platform/wayland/output_layout.h"

#include <gtest/gtest.h>

#include "capture/platform/pipewire/video_frame.h"
#include "capture/recording/stream_configuration.h"

namespace rezoro::capture {
namespace {

constexpr uint32_t kID = 7;

WaylandOutput output(const std::string& name, DisplayRect logical, int pixelWidth, int pixelHeight, int scale = 1) {
  return WaylandOutput{name, logical, pixelWidth, pixelHeight, scale};
}

// A desktop of three outputs: one at scale 1, one at 2 to its right, one at 1.5 below them.
const std::vector<WaylandOutput> kDesktop = {
    output("A", {0, 0, 1280, 720}, 1280, 720),
    output("B", {1280, 0, 800, 600}, 1600, 1200),
    output("C", {0, 720, 1066, 800}, 1600, 1200),
};

TEST(OutputLayoutTest, ADesktopLaidOutInPixelsIsTakenInPointsAtTheClientsScale) {
  // mutter without fractional scaling: a monitor of 1600 × 1200 pixels at scale 2, right of one at 1.
  EXPECT_EQ(inPoints(output("Meta-1", {1280, 0, 1600, 1200}, 1600, 1200, 2)).logical, (DisplayRect{1280, 0, 800, 600}));
  // sway at 2 (and at 1.25, drawn at 2 by clients) reports points already; scale 1 has nothing to divide.
  EXPECT_EQ(inPoints(output("B", {1280, 0, 800, 600}, 1600, 1200, 2)).logical, (DisplayRect{1280, 0, 800, 600}));
  EXPECT_EQ(inPoints(output("Q", {0, 0, 1280, 960}, 1600, 1200, 2)).logical, (DisplayRect{0, 0, 1280, 960}));
  EXPECT_EQ(inPoints(output("A", {0, 0, 1280, 720}, 1280, 720, 1)).logical, (DisplayRect{0, 0, 1280, 720}));
}

TEST(OutputLayoutTest, TheStreamIsTheOutputOfItsPixelSizeAtItsLogicalPlace) {
  // The wlroots portal: size in pixels, position (0, 0) whichever output it streams.
  const auto displays = streamDisplays({kDesktop[0], kDesktop[1]}, 1600, 1200, DisplayRect{0, 0, 1600, 1200}, kID);
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0], (ShareableDisplay{kID, {1280, 0, 800, 600}, 2.0, "B"}));
  // The scale-1 output, with the portal's size in points equal to its pixels.
  const auto first = streamDisplays(kDesktop, 1280, 720, DisplayRect{0, 0, 1280, 720}, kID);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0], (ShareableDisplay{kID, {0, 0, 1280, 720}, 1.0, "A"}));
}

TEST(OutputLayoutTest, TheLogicalLayoutWinsOverThePortalsFigures) {
  // GNOME with fractional scaling reports points, without it pixels; neither changes the answer.
  for (const DisplayRect portal : {DisplayRect{0, 0, 800, 600}, DisplayRect{0, 0, 1600, 1200}}) {
    const auto displays = streamDisplays({kDesktop[1]}, 1600, 1200, portal, kID);
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].frame, (DisplayRect{1280, 0, 800, 600}));
    EXPECT_DOUBLE_EQ(displays[0].pointPixelScale, 2.0);
  }
}

TEST(OutputLayoutTest, OutputsOfOnePixelSizeAreToldApartByThePortalsSize) {
  // B (scale 2) and C (scale 1.5) both have 1600 × 1200 pixels.
  const auto inPoints = streamDisplays(kDesktop, 1600, 1200, DisplayRect{0, 0, 1066, 800}, kID);
  ASSERT_EQ(inPoints.size(), 1u);
  EXPECT_EQ(inPoints[0].name, "C");
  EXPECT_NEAR(inPoints[0].pointPixelScale, 1.5, 0.001);  // the logical width is rounded down by the compositor
  const auto inPixels = streamDisplays(kDesktop, 1600, 1200, DisplayRect{0, 0, 800, 600}, kID);
  ASSERT_EQ(inPixels.size(), 1u);
  EXPECT_EQ(inPixels[0].name, "B");
}

TEST(OutputLayoutTest, OutputsThatLookAlikeToTheStreamAreAllListedForTheRegionToPick) {
  const std::vector<WaylandOutput> twins = {output("L", {0, 0, 800, 600}, 1600, 1200),
                                            output("R", {800, 0, 800, 600}, 1600, 1200)};
  const auto displays = streamDisplays(twins, 1600, 1200, DisplayRect{0, 0, 1600, 1200}, kID);
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_EQ(displays[0].name, "L");
  EXPECT_EQ(displays[1].name, "R");
  // The region on the right twin picks it; one split evenly picks the first.
  EXPECT_EQ(chosenDisplay(displays, CaptureRegion{900, 100, 400, 300}, kID).name, "R");
  EXPECT_EQ(chosenDisplay(displays, CaptureRegion{700, 100, 200, 300}, kID).name, "L");
  // Without the portal's size the tie stays too.
  EXPECT_EQ(streamDisplays(twins, 1600, 1200, std::nullopt, kID).size(), 2u);
}

TEST(OutputLayoutTest, AStreamInPointsMatchesTheLogicalSize) {
  const auto displays = streamDisplays({kDesktop[0], kDesktop[1]}, 800, 600, std::nullopt, kID);
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].name, "B");
  EXPECT_DOUBLE_EQ(displays[0].pointPixelScale, 1.0);
}

TEST(OutputLayoutTest, WithoutAMatchingOutputThePortalsFrameStands) {
  EXPECT_EQ(streamDisplays(kDesktop, 640, 480, DisplayRect{10, 20, 320, 240}, kID),
            (std::vector<ShareableDisplay>{{kID, {10, 20, 320, 240}, 2.0, "portal"}}));
  EXPECT_EQ(streamDisplays({}, 640, 480, std::nullopt, kID),
            (std::vector<ShareableDisplay>{{kID, {0, 0, 640, 480}, 1.0, "portal"}}));
  // An output the compositor has not fully described is not matched.
  EXPECT_EQ(streamDisplays({output("D", {0, 0, 0, 0}, 640, 480)}, 640, 480, DisplayRect{0, 0, 640, 0}, kID),
            (std::vector<ShareableDisplay>{{kID, {0, 0, 640, 480}, 1.0, "portal"}}));
}

// From the request's points to the stream's pixels, through the matched output: the size the
// file gets and the pixels cut out of each picture.
struct Mapped {
  OutputSize size;
  std::optional<PixelArea> pixels;
};
Mapped mapped(const WaylandOutput& screen, CaptureRegion region) {
  const auto displays = streamDisplays({screen}, screen.pixelWidth, screen.pixelHeight, std::nullopt, kID);
  CaptureRequest request;
  request.kind = "video";
  request.region = region;
  const StreamConfiguration configuration = streamConfiguration(request, ContentFilter{displays.at(0), {}});
  return Mapped{OutputSize{configuration.width, configuration.height},
                sourcePixels(*configuration.sourceRect, screen.pixelWidth / displays[0].frame.width,
                             screen.pixelWidth, screen.pixelHeight)};
}

TEST(OutputLayoutTest, TheRegionIsCutAtTheScreensOwnDensity) {
  const Mapped two = mapped(output("2", {0, 0, 800, 600}, 1600, 1200), {100, 100, 400, 300});
  EXPECT_EQ(two.size, (OutputSize{800, 600}));
  EXPECT_EQ(two.pixels, (PixelArea{200, 200, 800, 600}));
  const Mapped oneAndHalf = mapped(output("1.5", {0, 0, 1066, 800}, 1600, 1200), {100, 100, 400, 300});
  EXPECT_EQ(oneAndHalf.size, (OutputSize{600, 450}));
  EXPECT_EQ(oneAndHalf.pixels, (PixelArea{150, 150, 600, 450}));
  const Mapped quarter = mapped(output("1.25", {0, 0, 1280, 960}, 1600, 1200), {100, 100, 400, 300});
  EXPECT_EQ(quarter.size, (OutputSize{500, 374}));  // 375 rounded down to even
  EXPECT_EQ(quarter.pixels, (PixelArea{125, 125, 500, 375}));
}

TEST(OutputLayoutTest, ARegionPartlyOffTheOutputKeepsItsVisiblePartAtTheOutputsDensity) {
  // An output at (1280, 0) of scale 2: the region starts 100 points left of it.
  const Mapped right = mapped(output("B", {1280, 0, 800, 600}, 1600, 1200), {1180, 500, 300, 200});
  EXPECT_EQ(right.size, (OutputSize{400, 200}));
  EXPECT_EQ(right.pixels, (PixelArea{0, 1000, 400, 200}));
}

TEST(OutputLayoutTest, TheCapsHoldAtHighScales) {
  // 1920 × 1080 points at scale 2 would be 3840 × 2160: at the cap exactly.
  const Mapped full = mapped(output("4K", {0, 0, 1920, 1080}, 3840, 2160), {0, 0, 1920, 1080});
  EXPECT_EQ(full.size, (OutputSize{3840, 2160}));
  // A taller region of a scale-3 screen: the pixel count caps it, keeping the aspect.
  const Mapped tall = mapped(output("3x", {0, 0, 1920, 1440}, 5760, 4320), {0, 0, 1920, 1440});
  EXPECT_LE(tall.size.width * tall.size.height, 8294400);
  EXPECT_EQ(tall.size.width % 2, 0);
  EXPECT_NEAR(double(tall.size.width) / tall.size.height, 4.0 / 3, 0.01);
  EXPECT_EQ(tall.pixels, (PixelArea{0, 0, 5760, 4320}));  // cut from the whole picture, then scaled
}

}  // namespace
}  // namespace rezoro::capture
