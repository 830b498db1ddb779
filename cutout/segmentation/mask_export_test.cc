#include "cutout/segmentation/mask_export.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

#include "common/uuid.h"
#include "cutout/contract/cutout_failure.h"

namespace rezoro::cutout {
namespace {

namespace fs = std::filesystem;

class MaskExport : public testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() / ("mask-export-" + newUuidString());
    fs::create_directory(directory_);
  }
  void TearDown() override {
    if (fs::exists(directory_)) fs::permissions(directory_, fs::perms::owner_all);
    fs::remove_all(directory_);
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path directory_;
};

std::string contents(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}

// The PNG's header facts and its pixels as stored (no conversion asked of libpng).
struct DecodedPng {
  uint32_t width = 0, height = 0;
  int bitDepth = 0, colorType = -1;
  bool hasGamma = false;
  std::vector<uint8_t> pixels;
};

DecodedPng decoded(const fs::path& path) {
  DecodedPng result;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return result;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    result.width = 0;
    return result;
  }
  png_init_io(png, file);
  png_read_info(png, info);
  result.width = png_get_image_width(png, info);
  result.height = png_get_image_height(png, info);
  result.bitDepth = png_get_bit_depth(png, info);
  result.colorType = png_get_color_type(png, info);
  result.hasGamma = png_get_valid(png, info, PNG_INFO_gAMA | PNG_INFO_sRGB | PNG_INFO_iCCP) != 0;
  const size_t rowBytes = png_get_rowbytes(png, info);
  result.pixels.resize(rowBytes * result.height);
  for (uint32_t row = 0; row < result.height; ++row) png_read_row(png, result.pixels.data() + row * rowBytes, nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return result;
}

CutoutFailure failureOf(const GrayMask& mask, const fs::path& destination) {
  try {
    exportGrayscaleMask(mask, destination);
  } catch (CutoutFailure failure) {
    return failure;
  }
  ADD_FAILURE() << "no failure thrown";
  return CutoutFailure::nativeFailure;
}

TEST_F(MaskExport, WritesASingleWhitePixel) {
  const auto size = exportGrayscaleMask({1, 1, {255}}, directory_ / "mask.png");
  EXPECT_EQ(size, (std::array<int64_t, 2>{1, 1}));
  const DecodedPng png = decoded(directory_ / "mask.png");
  EXPECT_EQ(png.width, 1u);
  EXPECT_EQ(png.height, 1u);
  EXPECT_EQ(png.bitDepth, 8);
  EXPECT_EQ(png.colorType, PNG_COLOR_TYPE_GRAY);
  EXPECT_EQ(png.pixels, std::vector<uint8_t>{255});
  EXPECT_EQ(entries(), std::vector<std::string>{"mask.png"});
}

TEST_F(MaskExport, DecodesToExactlyTheMaskBytes) {
  GrayMask mask{333, 77, std::vector<uint8_t>(333 * 77)};
  std::mt19937 random(7);
  for (auto& byte : mask.bytes) byte = static_cast<uint8_t>(random());
  exportGrayscaleMask(mask, directory_ / "noise.png");
  const DecodedPng png = decoded(directory_ / "noise.png");
  EXPECT_EQ(png.width, 333u);
  EXPECT_EQ(png.height, 77u);
  EXPECT_EQ(png.colorType, PNG_COLOR_TYPE_GRAY);
  EXPECT_FALSE(png.hasGamma);
  EXPECT_EQ(png.pixels, mask.bytes);
}

TEST_F(MaskExport, ReplacesAnExistingDestinationInOneStep) {
  const fs::path destination = directory_ / "mask.png";
  std::ofstream(destination) << "old contents";
  exportGrayscaleMask({2, 1, {0, 255}}, destination);
  EXPECT_EQ(decoded(destination).pixels, (std::vector<uint8_t>{0, 255}));
  EXPECT_EQ(entries(), std::vector<std::string>{"mask.png"});
}

TEST_F(MaskExport, RefusesMasksThatDoNotMatchTheirSize) {
  const fs::path destination = directory_ / "mask.png";
  EXPECT_EQ(failureOf({2, 2, {1, 2, 3}}, destination), CutoutFailure::exportFailed);
  EXPECT_EQ(failureOf({0, 2, {}}, destination), CutoutFailure::invalidInput);
  EXPECT_EQ(failureOf({3, -1, {}}, destination), CutoutFailure::invalidInput);
  EXPECT_EQ(failureOf({8001, 8000, {}}, destination), CutoutFailure::imageTooLarge);
  EXPECT_EQ(failureOf({int64_t{1} << 32, int64_t{1} << 32, {}}, destination), CutoutFailure::imageTooLarge);
  EXPECT_TRUE(entries().empty());
}

TEST_F(MaskExport, LeavesTheDestinationUntouchedWhenItCannotWrite) {
  EXPECT_EQ(failureOf({1, 1, {255}}, directory_ / "missing" / "mask.png"), CutoutFailure::exportFailed);

  // A directory standing where the file should go cannot be replaced by a rename.
  fs::create_directory(directory_ / "taken.png");
  EXPECT_EQ(failureOf({1, 1, {255}}, directory_ / "taken.png"), CutoutFailure::exportFailed);
  EXPECT_TRUE(fs::is_directory(directory_ / "taken.png"));
  EXPECT_EQ(entries(), std::vector<std::string>{"taken.png"});

  if (::geteuid() != 0) {  // root writes into read-only directories regardless
    std::ofstream(directory_ / "mask.png") << "old contents";
    fs::permissions(directory_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(failureOf({1, 1, {255}}, directory_ / "mask.png"), CutoutFailure::exportFailed);
    fs::permissions(directory_, fs::perms::owner_all);
    EXPECT_EQ(contents(directory_ / "mask.png"), "old contents");
  }
}

}  // namespace
}  // namespace rezoro::cutout
