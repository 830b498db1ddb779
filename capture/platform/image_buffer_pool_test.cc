#include "capture/platform/image_buffer_pool.h"

#include <gtest/gtest.h>

namespace rezoro::capture {
namespace {

TEST(ImageBufferPool, LendsAtMostItsCapacityAndReusesReturnedBuffers) {
  ImageBufferPool pool(4, 2, 2);
  auto first = pool.acquire();
  auto second = pool.acquire();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->width, 4);
  EXPECT_EQ(first->height, 2);
  EXPECT_EQ(first->bytesPerRow, 16);
  EXPECT_EQ(first->bytes.size(), 32u);
  EXPECT_EQ(first->pixelFormat, kPixelFormatBGRA);
  EXPECT_FALSE(pool.acquire());
  EXPECT_EQ(pool.outstanding(), 2);

  const uint8_t* memory = first->baseAddress();
  auto copy = first;  // a second reference keeps it out
  first.reset();
  EXPECT_FALSE(pool.acquire());
  copy.reset();
  EXPECT_EQ(pool.outstanding(), 1);
  auto again = pool.acquire();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->baseAddress(), memory);  // the same memory, not a new allocation
}

TEST(ImageBufferPool, ABufferMayOutliveItsPool) {
  std::shared_ptr<ImageBuffer> survivor;
  {
    ImageBufferPool pool(2, 2, 1);
    survivor = pool.acquire();
    survivor->bytes[0] = 7;
  }
  EXPECT_EQ(survivor->bytes[0], 7);
  survivor.reset();  // freed, not returned: nothing to return to (checked by the sanitizers)
}

}  // namespace
}  // namespace rezoro::capture
