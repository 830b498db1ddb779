#include "capture/runtime/bounded_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;

TEST(BoundedWait, WorkEndingInTimeIsJoinedWithItsValue) {
  std::atomic<int> runs{0};
  EXPECT_TRUE(runWithin(5, [&] { ++runs; }));
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(valueWithin<int>(5, [] { return 7; }), 7);
  // A throwing piece of work ends like any other.
  EXPECT_TRUE(runWithin(5, [] { throw std::bad_alloc(); }));
}

TEST(BoundedWait, StuckWorkIsLeftBehindAfterTheBound) {
  auto release = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  auto owned = std::make_shared<int>(1);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(valueWithin<int>(0.2, [released, owned] {
              released.wait();
              return 1;
            }),
            std::nullopt);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, 200ms);
  EXPECT_LT(waited, 2s);
  // The work keeps what it captured until it ends on its own.
  EXPECT_EQ(owned.use_count(), 2);
  release->set_value();
  for (int i = 0; i < 200 && owned.use_count() > 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(owned.use_count(), 1);
}

}  // namespace
}  // namespace rezoro::capture
