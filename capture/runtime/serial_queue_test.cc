#include "capture/runtime/serial_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "capture/testing/test_basics.h"
#include "common/unique_fd.h"

namespace rezoro::capture {
namespace {

using namespace std::chrono_literals;
using testing::Pipe;

// Blocks until everything posted to `queue` so far has run.
void drain(SerialQueue& queue) {
  std::promise<void> done;
  queue.async([&] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
}

// Collects what a read source delivers; touched only on the queue.
struct ReadLog {
  std::vector<std::string> chunks;
  int endOfFile = 0;
  std::promise<void> ended;
};

TEST(SerialQueue, RunsWorkInPostingOrderOnOneThreadThatIsCurrent) {
  SerialQueue queue;
  EXPECT_FALSE(queue.isCurrent());
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  bool allCurrent = true;
  for (int i = 0; i < 100; ++i) {
    queue.async([&, i] {
      order.push_back(i);
      threads.push_back(std::this_thread::get_id());
      allCurrent = allCurrent && queue.isCurrent();
    });
  }
  drain(queue);
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  for (const auto& id : threads) EXPECT_EQ(id, threads.front());
  EXPECT_NE(threads.front(), std::this_thread::get_id());
  EXPECT_TRUE(allCurrent);
}

TEST(SerialQueue, DelayedWorkFiresAfterItsDelayInDeadlineOrder) {
  SerialQueue queue;
  std::vector<int> order;
  std::promise<double> last;
  const auto start = std::chrono::steady_clock::now();
  queue.after(0.15, [&] {
    order.push_back(2);
    last.set_value(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  });
  queue.after(0.05, [&] { order.push_back(1); });
  queue.async([&] { order.push_back(0); });
  auto elapsed = last.get_future();
  ASSERT_EQ(elapsed.wait_for(5s), std::future_status::ready);
  EXPECT_GE(elapsed.get(), 0.15);
  drain(queue);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(SerialQueue, CancelledDelayedWorkNeverRunsWhetherCancelledBeforeOrAfterArming) {
  SerialQueue queue;
  bool early = false, armed = false, survivor = false;
  QueueSource before = queue.after(0.05, [&] { early = true; });
  before.cancel();  // possibly before the queue has even armed the timer
  QueueSource later = queue.after(0.05, [&] { armed = true; });
  drain(queue);     // the timer is armed now
  later.cancel();
  EXPECT_TRUE(later.isCancelled());
  std::promise<void> done;
  queue.after(0.15, [&] {
    survivor = true;
    done.set_value();
  });
  ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(early);
  EXPECT_FALSE(armed);
  EXPECT_TRUE(survivor);
}

TEST(SerialQueue, ReadSourceDeliversChunksThenEndOfFileOnce) {
  SerialQueue queue;
  Pipe pipe;
  ReadLog log;
  auto source = queue.readSource(pipe.readEnd.get(), [&](const ReadEvent& event) {
    EXPECT_TRUE(queue.isCurrent());
    if (event.kind == ReadEvent::Kind::data) log.chunks.emplace_back(event.bytes.begin(), event.bytes.end());
    if (event.kind == ReadEvent::Kind::endOfFile && ++log.endOfFile == 1) log.ended.set_value();
  });
  ASSERT_TRUE(source);
  pipe.readEnd.reset();  // the source reads its own duplicate
  pipe.write("hello");
  drain(queue);
  std::this_thread::sleep_for(50ms);
  pipe.write(std::string(300, 'x'));  // more than one read's worth
  std::this_thread::sleep_for(50ms);
  pipe.writeEnd.reset();
  ASSERT_EQ(log.ended.get_future().wait_for(5s), std::future_status::ready);
  std::this_thread::sleep_for(50ms);
  drain(queue);
  std::string all;
  for (const auto& chunk : log.chunks) {
    EXPECT_LE(chunk.size(), 256u);
    all += chunk;
  }
  EXPECT_EQ(all, "hello" + std::string(300, 'x'));
  EXPECT_EQ(log.chunks.front(), "hello");
  EXPECT_EQ(log.endOfFile, 1);
}

TEST(SerialQueue, ReadSourceOnARegularFileOrDevNullSeesItsEndWithoutPolling) {
  SerialQueue queue;
  char path[] = "/tmp/rezoro-queue-XXXXXX";
  UniqueFd file(::mkstemp(path));
  ASSERT_TRUE(file);
  ::unlink(path);
  ASSERT_EQ(::write(file.get(), "quit\n", 5), 5);
  ::lseek(file.get(), 0, SEEK_SET);
  UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  for (int fd : {file.get(), null.get()}) {
    ReadLog log;
    auto source = queue.readSource(fd, [&](const ReadEvent& event) {
      if (event.kind == ReadEvent::Kind::data) log.chunks.emplace_back(event.bytes.begin(), event.bytes.end());
      if (event.kind == ReadEvent::Kind::endOfFile && ++log.endOfFile == 1) log.ended.set_value();
    });
    ASSERT_TRUE(source);
    ASSERT_EQ(log.ended.get_future().wait_for(5s), std::future_status::ready);
    std::this_thread::sleep_for(30ms);
    drain(queue);
    EXPECT_EQ(log.endOfFile, 1);
    if (fd == file.get()) EXPECT_EQ(log.chunks, std::vector<std::string>{"quit\n"});
    else EXPECT_TRUE(log.chunks.empty());
  }
}

TEST(SerialQueue, CancelledReadSourceDeliversNothingMore) {
  SerialQueue queue;
  Pipe pipe;
  int deliveries = 0;
  auto source = queue.readSource(pipe.readEnd.get(), [&](const ReadEvent&) { ++deliveries; });
  ASSERT_TRUE(source);
  pipe.write("a");
  std::this_thread::sleep_for(50ms);
  drain(queue);
  EXPECT_EQ(deliveries, 1);
  source->cancel();
  drain(queue);
  pipe.write("q");
  pipe.writeEnd.reset();
  std::this_thread::sleep_for(50ms);
  drain(queue);
  EXPECT_EQ(deliveries, 1);
}

TEST(SerialQueue, ReadSourceRefusesADescriptorThatIsNotOpen) {
  SerialQueue queue;
  EXPECT_FALSE(queue.readSource(-1, [](const ReadEvent&) {}));
}

TEST(SerialQueue, SignalsReachTheirSourcesOnTheQueueAndNeverKillTheProcess) {
  std::promise<void> terminated;
  int interrupts = 0, terminations = 0;
  {
    SerialQueue queue;
    QueueSource interrupt = queue.signalSource(SIGINT, [&] { ++interrupts; });
    QueueSource terminate = queue.signalSource(SIGTERM, [&] {
      EXPECT_TRUE(queue.isCurrent());
      if (++terminations == 1) terminated.set_value();
    });
    drain(queue);  // the sources are installed on the queue
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_EQ(terminated.get_future().wait_for(5s), std::future_status::ready);
    drain(queue);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(interrupts, 0);

    // Cancelled sources drop later deliveries, which still do not kill the process.
    terminate.cancel();
    interrupt.cancel();
    drain(queue);
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_EQ(::raise(SIGINT), 0);
    std::this_thread::sleep_for(50ms);
    drain(queue);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(interrupts, 0);
  }
  // The queue is gone; the signals stay ignored.
  ASSERT_EQ(::raise(SIGTERM), 0);
  ASSERT_EQ(::raise(SIGINT), 0);
  struct sigaction current {};
  ASSERT_EQ(::sigaction(SIGTERM, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, SIG_IGN);
}

TEST(SerialQueue, WorkThatThrowsIsReportedOnTheQueueAndTheLoopGoesOn) {
  int failures = 0;
  std::vector<int> order;
  SerialQueue* self = nullptr;
  bool reportedOnQueue = false;
  SerialQueue queue([&] {
    ++failures;
    reportedOnQueue = self->isCurrent();
  });
  self = &queue;
  queue.async([&] { order.push_back(1); });
  queue.async([] { throw std::bad_alloc(); });
  queue.async([&] { order.push_back(2); });
  drain(queue);
  EXPECT_EQ(failures, 1);
  EXPECT_TRUE(reportedOnQueue);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(SerialQueue, ASignalBlockedBeforeItsSourceExistedIsDeliveredOnceItDoes) {
  // As the program does from its start: the signal stays pending in every thread.
  sigset_t only, previous;
  sigemptyset(&only);
  sigaddset(&only, SIGTERM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &only, &previous), 0);
  {
    SerialQueue queue;  // its thread inherits the mask
    ::kill(::getpid(), SIGTERM);
    ignoreSignalUnlessBlocked(SIGTERM);  // must not throw the pending signal away
    std::promise<void> delivered;
    queue.signalSource(SIGTERM, [&] { delivered.set_value(); });
    EXPECT_EQ(delivered.get_future().wait_for(5s), std::future_status::ready);
  }
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, &previous, nullptr), 0);
}

TEST(SerialQueue, StopDropsWorkNotYetStartedAndIsIdempotent) {
  SerialQueue queue;
  std::promise<void> entered;
  std::promise<void> release;
  bool later = false;
  queue.async([&] {
    entered.set_value();
    release.get_future().wait();
  });
  queue.async([&] { later = true; });
  entered.get_future().wait();
  queue.stop();
  release.set_value();
  queue.stop();
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(later);
}

}  // namespace
}  // namespace rezoro::capture
