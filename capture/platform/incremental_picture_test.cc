#include "capture/platform/incremental_picture.h"

#include <gtest/gtest.h>

#include <random>

namespace rezoro::capture {
namespace {

// A BGRA source that changes in random rectangles, and a cursor that moves over it.
class Screen {
 public:
  Screen(int width, int height) : width(width), height(height), pixels(static_cast<size_t>(width) * height * 4) {
    for (auto& byte : pixels) byte = static_cast<uint8_t>(random());
    for (int i = 0; i < 16 * 16; ++i) cursor[i] = i % 3 == 0 ? 0 : (0x80u << 24) | (random() & 0x7f7f7f);
  }
  PixelRect paint() {
    const int w = 1 + static_cast<int>(random() % 37), h = 1 + static_cast<int>(random() % 29);
    const PixelRect rect{static_cast<int>(random() % (width - w)), static_cast<int>(random() % (height - h)), w, h};
    const uint8_t value = static_cast<uint8_t>(random());
    for (int y = rect.y; y < rect.bottom(); ++y) {
      for (int x = rect.x * 4; x < rect.right() * 4; ++x) pixels[static_cast<size_t>(y) * width * 4 + x] = value + x;
    }
    return rect;
  }
  Overlay overlayAt(int x, int y) const { return Overlay{{x, y, 16, 16}, cursor}; }

  int width, height;
  std::vector<uint8_t> pixels;
  uint32_t cursor[16 * 16];
  std::minstd_rand random{7};
};

// Pictures from one converter that only hears of the changes, held for a while as an encoder
// would, must equal what a fresh converter makes of the whole source.
void expectIncrementalEqualsWhole(int sourceWidth, int sourceHeight, int width, int height, uint32_t format) {
  Screen screen(sourceWidth, sourceHeight);
  IncrementalPicture incremental(sourceWidth, sourceHeight, width, height, format, 3);
  std::vector<std::shared_ptr<ImageBuffer>> held;
  Overlay cursor = screen.overlayAt(-4, 10);
  for (int frame = 0; frame < 40; ++frame) {
    std::vector<PixelRect> changed;
    for (int i = 0; i < frame % 4; ++i) changed.push_back(screen.paint());
    if (frame % 3 == 0) {
      changed.push_back(cursor.frame);
      cursor = screen.overlayAt(frame * 7 % sourceWidth, frame * 5 % sourceHeight);
      changed.push_back(cursor.frame);
    }
    auto picture = incremental.picture(screen.pixels.data(), sourceWidth * 4, changed, &cursor);
    if (!picture) {
      EXPECT_EQ(held.size(), 3u);  // only when every picture is lent out
      held.erase(held.begin());
      continue;
    }
    IncrementalPicture whole(sourceWidth, sourceHeight, width, height, format, 1);
    const auto expected = whole.picture(screen.pixels.data(), sourceWidth * 4, {}, &cursor);
    ASSERT_EQ(picture->bytes, expected->bytes) << "frame " << frame;
    held.push_back(std::move(picture));
    if (held.size() > static_cast<size_t>(frame % 3)) held.erase(held.begin());
  }
}

TEST(IncrementalPicture, I420PicturesEqualAWholeConversion) {
  expectIncrementalEqualsWhole(160, 90, 160, 90, kPixelFormatI420);
}

TEST(IncrementalPicture, ScaledI420PicturesEqualAWholeScaling) {
  expectIncrementalEqualsWhole(203, 117, 120, 68, kPixelFormatI420);
}

TEST(IncrementalPicture, BgraPicturesEqualAWholeCopyAndAreOpaque) {
  expectIncrementalEqualsWhole(64, 48, 64, 48, kPixelFormatBGRA);
  Screen screen(4, 2);
  IncrementalPicture picture(4, 2, 4, 2, kPixelFormatBGRA, 1);
  const auto out = picture.picture(screen.pixels.data(), 16, {}, nullptr);
  for (size_t i = 3; i < out->bytes.size(); i += 4) EXPECT_EQ(out->bytes[i], 255);
}

TEST(IncrementalPicture, TheCursorIsBlendedInAndTheSourceLeftAsItWas) {
  std::vector<uint8_t> source(8 * 2 * 4, 100);
  const std::vector<uint8_t> before = source;
  uint32_t cursor[2] = {0xff102030u, 0x80400000u};  // opaque; half-covering red of 0x40 (premultiplied)
  IncrementalPicture picture(8, 2, 8, 2, kPixelFormatBGRA, 1);
  const Overlay overlay{{6, 1, 2, 1}, cursor};
  const auto out = picture.picture(source.data(), 32, {}, &overlay);
  const uint8_t* pixel = out->baseAddress() + 1 * 32 + 6 * 4;
  EXPECT_EQ((std::vector<int>{pixel[0], pixel[1], pixel[2], pixel[4], pixel[5], pixel[6]}),
            (std::vector<int>{0x30, 0x20, 0x10, 50, 50, 0x40 + 50}));
  EXPECT_EQ(source, before);
}

}  // namespace
}  // namespace rezoro::capture
