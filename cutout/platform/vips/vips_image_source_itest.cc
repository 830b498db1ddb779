#include "cutout/platform/vips/vips_image_source.h"

#include <gtest/gtest.h>
#include <vips/vips.h>

#include <array>
#include <fstream>
#include <string>

#include "cutout/contract/cutout_failure.h"
#include "cutout/platform/vips/vips_support.h"
#include "cutout/testing/cutout_testing.h"

namespace rezoro::cutout {
namespace {

namespace fs = std::filesystem;

using testing::TemporaryFolder;

// Saves width × height RGB pixels as a JPEG whose header carries `orientation` (0: none).
void saveJpeg(const fs::path& file, const std::vector<uint8_t>& rgb, int width, int height, int orientation) {
  startVips();
  VipsImagePtr memory(vips_image_new_from_memory(rgb.data(), rgb.size(), width, height, 3, VIPS_FORMAT_UCHAR));
  VipsImage* copied = nullptr;
  ASSERT_EQ(vips_copy(memory.get(), &copied, nullptr), 0);
  VipsImagePtr image(copied);
  if (orientation != 0) vips_image_set_int(image.get(), VIPS_META_ORIENTATION, orientation);
  ASSERT_EQ(vips_jpegsave(image.get(), file.c_str(), "Q", 95, nullptr), 0);
}

struct Point {
  int x, y;
};

// Where stored pixel (x, y) of a width × height image appears once the EXIF orientation is applied.
Point displayed(int orientation, int x, int y, int width, int height) {
  switch (orientation) {
    case 2: return {width - 1 - x, y};
    case 3: return {width - 1 - x, height - 1 - y};
    case 4: return {x, height - 1 - y};
    case 5: return {y, x};
    case 6: return {height - 1 - y, x};
    case 7: return {height - 1 - y, width - 1 - x};
    case 8: return {y, width - 1 - x};
    default: return {x, y};
  }
}

TEST(VipsImageSource, DecodesEveryExifOrientationUprightAtTheOrientedSize) {
  TemporaryFolder folder;
  constexpr int width = 64, height = 40;
  // Black with a red 8 × 8 block at stored (8..15, 8..15).
  std::vector<uint8_t> rgb(size_t(width * height * 3), 0);
  for (int y = 8; y < 16; ++y) {
    for (int x = 8; x < 16; ++x) rgb[size_t((y * width + x) * 3)] = 255;
  }
  for (int orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE(orientation);
    // Appended rather than "o" + ...: GCC 12 at -O3 takes the prepend for an overlapping copy
    // (a false -Wrestrict).
    std::string name = "o";
    name += std::to_string(orientation);
    name += ".jpg";
    const fs::path file = folder.path / name;
    saveJpeg(file, rgb, width, height, orientation);
    auto source = VipsImageSource::open(file);
    ASSERT_NE(source, nullptr);
    const auto properties = source->properties();
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->pixelWidth, width);
    EXPECT_EQ(properties->pixelHeight, height);
    EXPECT_EQ(properties->orientation, orientation);
    const bool turned = orientation >= 5;
    const int uprightWidth = turned ? height : width, uprightHeight = turned ? width : height;
    EXPECT_EQ(source->uprightSize(), (std::pair<int64_t, int64_t>{uprightWidth, uprightHeight}));
    const UprightImage image = uprightImage(*source, uprightWidth, uprightHeight);
    const Point red = displayed(orientation, 11, 11, width, height);
    const Point black = displayed(orientation, 40, 30, width, height);
    const uint8_t* at = image.rgb.data() + (red.y * uprightWidth + red.x) * 3;
    EXPECT_GT(at[0], 200);
    EXPECT_LT(at[1], 60);
    const uint8_t* away = image.rgb.data() + (black.y * uprightWidth + black.x) * 3;
    EXPECT_LT(away[0], 40);
  }
}

TEST(VipsImageSource, DecodesALargeTurnedJpegUprightAtAQuarterScaleAndAtFullSize) {
  // 2400 × 1600 stored, orientation 6, asked for at 400 × 600 upright: decoded at a quarter scale.
  TemporaryFolder folder;
  constexpr int width = 2400, height = 1600;
  std::vector<uint8_t> rgb(size_t(width) * height * 3, 0);
  for (int y = 200; y < 400; ++y) {
    for (int x = 200; x < 400; ++x) rgb[size_t((y * width + x) * 3)] = 255;
  }
  const fs::path file = folder.path / "large.jpg";
  saveJpeg(file, rgb, width, height, 6);
  EXPECT_EQ(jpegShrink(width, height, 600, 400), 4);
  auto source = VipsImageSource::open(file);
  ASSERT_NE(source, nullptr);
  const UprightImage image = uprightImage(*source, 400, 600);
  const Point red = displayed(6, 75, 75, 600, 400);  // the block's centre, at the decoded scale
  EXPECT_GT(image.rgb[size_t((red.y * 400 + red.x) * 3)], 200);
  const Point black = displayed(6, 300, 300, 600, 400);
  EXPECT_LT(image.rgb[size_t((black.y * 400 + black.x) * 3)], 40);
  // At its full size too, which decodes the whole file before turning it.
  const UprightImage full = uprightImage(*source, height, width);
  const Point corner = displayed(6, 300, 300, width, height);
  EXPECT_GT(full.rgb[size_t((corner.y * height + corner.x) * 3)], 200);
}

TEST(VipsImageSource, ReadsHeadersWithoutOrientationAndDecodesGrayAsRgbAtTheAskedSize) {
  const fs::path samples = fs::path(REZORO_DEPS_DIR) / "opencv-doc";
  auto jpeg = VipsImageSource::open(samples / "messi5.jpg");
  ASSERT_NE(jpeg, nullptr);
  EXPECT_EQ(jpeg->properties()->pixelWidth, 548);
  EXPECT_EQ(jpeg->properties()->pixelHeight, 342);
  EXPECT_FALSE(jpeg->properties()->orientation.has_value());
  EXPECT_EQ(uprightImage(*jpeg, 274, 171).rgb.size(), 274u * 171 * 3);
  // A one-band gray PNG comes out as RGB with equal channels.
  auto png = VipsImageSource::open(samples / "basketball1.png");
  ASSERT_NE(png, nullptr);
  const UprightImage gray = uprightImage(*png, 640, 480);
  ASSERT_EQ(gray.rgb.size(), 640u * 480 * 3);
  const size_t middle = (240 * 640 + 320) * 3;
  EXPECT_EQ(gray.rgb[middle], gray.rgb[middle + 1]);
  EXPECT_EQ(gray.rgb[middle], gray.rgb[middle + 2]);
  // A size other than the one asked for is never returned.
  try {
    uprightImage(*png, 0, 480);
    FAIL();
  } catch (CutoutFailure failure) {
    EXPECT_EQ(failure, CutoutFailure::noForeground);
  }
}

TEST(VipsImageSource, FailsToDecodeATruncatedJpeg) {
  TemporaryFolder folder;
  const fs::path file = folder.path / "cut.jpg";
  std::vector<uint8_t> noise(256 * 256 * 3);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = uint8_t((i * 2654435761u) >> 13);
  saveJpeg(file, noise, 256, 256, 0);
  fs::resize_file(file, fs::file_size(file) / 2);
  auto source = VipsImageSource::open(file);
  ASSERT_NE(source, nullptr);  // the header is intact
  try {
    uprightImage(*source, 256, 256);
    FAIL() << "a truncated file decoded";
  } catch (CutoutFailure failure) {
    EXPECT_EQ(failure, CutoutFailure::noForeground);
  }
}

uint32_t crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

TEST(VipsImageSource, ReportsTheRealSizeOfAPngTooWideForTheDecoder) {
  TemporaryFolder folder;
  const fs::path file = folder.path / "wide.png";
  std::vector<uint8_t> bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13};
  const std::array<uint8_t, 17> ihdr{'I', 'H', 'D', 'R', 0x01, 0x31, 0x2d, 0x00,  // width 20,000,000
                                     0, 0, 0, 1,                                    // height 1
                                     8, 2, 0, 0, 0};
  bytes.insert(bytes.end(), ihdr.begin(), ihdr.end());
  const uint32_t crc = crc32(ihdr.data(), ihdr.size());
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(uint8_t(crc >> shift));
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  auto source = VipsImageSource::open(file);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->properties()->pixelWidth, 20000000);
  EXPECT_EQ(source->properties()->pixelHeight, 1);
  EXPECT_THROW(uprightImage(*source, 20000000, 1), CutoutFailure);
}

TEST(VipsImageSource, DoesNotOpenWhatIsNoImage) {
  TemporaryFolder folder;
  const fs::path file = folder.path / "notes.jpg";
  std::ofstream(file) << "not a picture";
  EXPECT_EQ(VipsImageSource::open(file), nullptr);
  EXPECT_EQ(VipsImageSource::open(folder.path / "missing.png"), nullptr);
}

// A small picture saved by `saver` ("jpegsave", "ppmsave", ...) as `file`; false when this libvips
// cannot write that format.
bool savePicture(const fs::path& file, const char* saver) {
  // Some savers pick the format by the name's extension; save under a neutral name, then rename.
  const fs::path neutral = file.parent_path() / "saved.v";
  startVips();
  VipsImage* black = nullptr;
  if (vips_black(&black, 32, 24, nullptr) != 0) return false;
  VipsImagePtr image(black);
  VipsImage* bytes = nullptr;
  if (vips_cast_uchar(image.get(), &bytes, nullptr) != 0) return false;
  image.reset(bytes);
  const bool saved = vips_call(saver, image.get(), neutral.c_str(), nullptr) == 0;
  vips_error_clear();
  std::error_code error;
  fs::rename(neutral, file, error);
  return saved && !error;
}

TEST(VipsImageSource, OpensOnlyPhotoFormatsJudgedByContentNotName) {
  TemporaryFolder folder;
  // Every photo format opens whatever it is called.
  for (const char* saver : {"jpegsave", "pngsave", "webpsave", "tiffsave", "gifsave", "heifsave"}) {
    const fs::path file = folder.path / (std::string(saver) + ".bin");
    if (!savePicture(file, saver)) {
      EXPECT_STREQ(saver, "heifsave") << "cannot write a " << saver << " test picture";
      continue;
    }
    const auto source = VipsImageSource::open(file);
    ASSERT_NE(source, nullptr) << saver;
    EXPECT_EQ(source->properties()->pixelWidth, 32) << saver;
    EXPECT_TRUE(uprightImage(*source, 32, 24).rgb.size() == 32 * 24 * 3) << saver;
  }
  // Formats libvips reads but a photo library never hands over, each dressed as a photo.
  for (const char* saver : {"ppmsave", "vipssave", "radsave", "jp2ksave", "matrixsave", "csvsave"}) {
    const fs::path file = folder.path / (std::string(saver) + ".jpg");
    ASSERT_TRUE(savePicture(file, saver)) << saver;
    EXPECT_EQ(VipsImageSource::open(file), nullptr) << saver;
  }
  std::ofstream(folder.path / "drawing.png")
      << R"(<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64"><rect width="64" height="64"/></svg>)";
  std::ofstream(folder.path / "page.jpg") << "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                                             "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                                             "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 64 64]>>endobj\n"
                                             "trailer<</Root 1 0 R>>\n%%EOF\n";
  // A 1 × 1 BMP: ImageMagick, not a photo loader, would read it.
  const unsigned char bmp[] = {'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,
                               1, 0, 24, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                               255, 255, 255, 0};
  std::ofstream(folder.path / "bitmap.jpg", std::ios::binary).write(reinterpret_cast<const char*>(bmp), sizeof bmp);
  for (const char* name : {"drawing.png", "page.jpg", "bitmap.jpg"}) EXPECT_EQ(VipsImageSource::open(folder.path / name), nullptr) << name;
}

}  // namespace
}  // namespace rezoro::cutout
