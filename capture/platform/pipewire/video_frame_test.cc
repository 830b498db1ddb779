#include "capture/platform/pipewire/video_frame.h"

#include <gtest/gtest.h>
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>

#include <vector>

#include "capture/platform/pipewire/pipewire_video_stream.h"

namespace rezoro::capture {
namespace {

ImageBuffer imageOf(int width, int height) {
  ImageBuffer image;
  image.width = width;
  image.height = height;
  image.bytesPerRow = width * 4;
  image.bytes.assign(static_cast<size_t>(image.bytesPerRow) * height, 0);
  return image;
}

TEST(VideoFrameTest, TheSourceRectangleBecomesPixelsClippedToThePicture) {
  EXPECT_EQ(sourcePixels(DisplayRect{10, 20, 100, 50}, 1.0, 1280, 720), (PixelArea{10, 20, 100, 50}));
  EXPECT_EQ(sourcePixels(DisplayRect{10, 20, 100, 50}, 2.0, 2560, 1440), (PixelArea{20, 40, 200, 100}));
  EXPECT_EQ(sourcePixels(DisplayRect{1200, 700, 200, 100}, 1.0, 1280, 720), (PixelArea{1200, 700, 80, 20}));
  EXPECT_EQ(sourcePixels(DisplayRect{1300, 0, 20, 20}, 1.0, 1280, 720), std::nullopt);
}

TEST(VideoFrameTest, RgbxPicturesBecomeOpaqueBgraOfTheCroppedArea) {
  // 3 × 2 pixels, R G B x in memory, with 4 bytes of padding at the end of each row.
  std::vector<uint8_t> pixels = {1, 2, 3, 0, 10, 20, 30, 0, 40, 50, 60, 0, 9, 9, 9, 9,
                                 4, 5, 6, 0, 70, 80, 90, 0, 11, 12, 13, 0, 9, 9, 9, 9};
  VideoFrame frame{pixels.data(), 3, 2, 16, PixelOrder::rgba, 0};
  ImageBuffer out = imageOf(2, 2);
  ASSERT_TRUE(convertFrame(frame, PixelArea{1, 0, 2, 2}, out));
  EXPECT_EQ(out.bytes, (std::vector<uint8_t>{30, 20, 10, 255, 60, 50, 40, 255, 90, 80, 70, 255, 13, 12, 11, 255}));

  frame.order = PixelOrder::bgra;
  ImageBuffer one = imageOf(1, 1);
  ASSERT_TRUE(convertFrame(frame, PixelArea{0, 1, 1, 1}, one));
  EXPECT_EQ(one.bytes, (std::vector<uint8_t>{4, 5, 6, 255}));
  EXPECT_FALSE(convertFrame(frame, PixelArea{2, 0, 2, 2}, out));  // reaches past the picture
}

TEST(VideoFrameTest, ALargerAreaIsScaledDownToTheOutput) {
  std::vector<uint8_t> pixels(4 * 4 * 4, 200);
  VideoFrame frame{pixels.data(), 4, 4, 16, PixelOrder::bgra, 0};
  ImageBuffer out = imageOf(2, 2);
  ASSERT_TRUE(convertFrame(frame, PixelArea{0, 0, 4, 4}, out));
  EXPECT_EQ(out.bytes[0], 200);
  EXPECT_EQ(out.bytes[3], 255);
}

// A PipeWire buffer of one plane around `memory`.
struct Buffer {
  explicit Buffer(std::vector<uint8_t>& memory, uint32_t size, int32_t stride) {
    chunk.size = size;
    chunk.stride = stride;
    data.type = SPA_DATA_MemPtr;
    data.maxsize = static_cast<uint32_t>(memory.size());
    data.data = memory.data();
    data.chunk = &chunk;
    meta.type = SPA_META_Header;
    meta.size = sizeof header;
    meta.data = &header;
    buffer.n_metas = 1;
    buffer.metas = &meta;
    buffer.n_datas = 1;
    buffer.datas = &data;
  }
  spa_chunk chunk{};
  spa_data data{};
  spa_meta_header header{};
  spa_meta meta{};
  spa_buffer buffer{};
};

TEST(VideoFrameTest, BuffersAreReadWithTheProducersTimeWhenItIsOnOurClock) {
  std::vector<uint8_t> memory(2 * 20, 7);
  Buffer good(memory, 40, 20);
  good.header.pts = 100'500'000'000;  // 100.5 s
  std::optional<VideoFrame> frame = frameInBuffer(good.buffer, 4, 2, PixelOrder::bgra, 100.6);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->stride, 20);
  EXPECT_EQ(frame->pixels, memory.data());
  EXPECT_DOUBLE_EQ(frame->hostSeconds, 100.5);
  // A time on another clock is replaced by ours.
  EXPECT_DOUBLE_EQ(frameInBuffer(good.buffer, 4, 2, PixelOrder::bgra, 5000.0)->hostSeconds, 5000.0);
}

TEST(VideoFrameTest, CorruptedEmptyAndShortBuffersAreSkipped) {
  std::vector<uint8_t> memory(2 * 16, 7);
  Buffer corrupted(memory, 32, 16);
  corrupted.chunk.flags = SPA_CHUNK_FLAG_CORRUPTED;
  EXPECT_FALSE(frameInBuffer(corrupted.buffer, 4, 2, PixelOrder::bgra, 1));
  Buffer marked(memory, 32, 16);
  marked.header.flags = SPA_META_HEADER_FLAG_CORRUPTED;
  EXPECT_FALSE(frameInBuffer(marked.buffer, 4, 2, PixelOrder::bgra, 1));
  Buffer empty(memory, 0, 16);
  EXPECT_FALSE(frameInBuffer(empty.buffer, 4, 2, PixelOrder::bgra, 1));
  Buffer shortOne(memory, 32, 16);
  EXPECT_FALSE(frameInBuffer(shortOne.buffer, 4, 3, PixelOrder::bgra, 1));  // three rows do not fit
  Buffer dmabuf(memory, 32, 16);
  dmabuf.data.type = SPA_DATA_DmaBuf;
  EXPECT_FALSE(frameInBuffer(dmabuf.buffer, 4, 2, PixelOrder::bgra, 1));
  Buffer fine(memory, 32, 16);
  EXPECT_TRUE(frameInBuffer(fine.buffer, 4, 2, PixelOrder::bgra, 1));
}

}  // namespace
}  // namespace rezoro::capture
