#include "capture/runtime/bounded_wait.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace rezoro::capture {

bool runWithin(double seconds, std::function<void()> work) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::function<void()> work;
  };
  auto shared = std::make_shared<Shared>();
  shared->work = std::move(work);
  std::thread thread;
  try {
    thread = std::thread([shared] {
      // A failure inside the work must not end the process from a thread nobody may be waiting for.
      try {
        shared->work();
      } catch (...) {
      }
      shared->work = nullptr;  // what it captured is released on this thread
      std::lock_guard lock(shared->mutex);
      shared->done = true;
      shared->ended.notify_all();
    });
  } catch (const std::system_error&) {
    std::exchange(shared->work, nullptr)();
    return true;
  }
  bool done = false;
  {
    std::unique_lock lock(shared->mutex);
    done = shared->ended.wait_for(lock, std::chrono::duration<double>(seconds > 0 ? seconds : 0),
                                  [&] { return shared->done; });
  }
  if (done) {
    thread.join();
  } else {
    thread.detach();
  }
  return done;
}

}  // namespace rezoro::capture
