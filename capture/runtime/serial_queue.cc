#include "capture/runtime/serial_queue.h"

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <asio.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <vector>

#include "common/unique_fd.h"

namespace rezoro::capture {

struct QueueSource::State {
  std::atomic<bool> cancelled{false};
  // Cancels the underlying operation; run on the queue.
  std::function<void()> cancelOperation;
  asio::io_context* context = nullptr;
};

void QueueSource::cancel() {
  if (!state_ || state_->cancelled.exchange(true)) return;
  if (state_->cancelOperation) {
    asio::post(*state_->context, [state = state_] {
      if (state->cancelOperation) std::exchange(state->cancelOperation, nullptr)();
    });
  }
}

bool QueueSource::isCancelled() const { return state_ && state_->cancelled.load(); }

struct SerialQueue::Guard {
  explicit Guard(asio::io_context& context) : guard(asio::make_work_guard(context)) {}
  asio::executor_work_guard<asio::io_context::executor_type> guard;
};

struct SerialQueue::SignalWatch {
  SignalWatch(asio::io_context& context, int signalNumber) : set(context, signalNumber) {}
  asio::signal_set set;
  std::vector<std::pair<std::shared_ptr<QueueSource::State>, std::function<void()>>> handlers;
};

SerialQueue::SerialQueue(Work onFailure)
    : context_(std::make_unique<asio::io_context>(1)),
      guard_(std::make_unique<Guard>(*context_)),
      onFailure_(std::move(onFailure)) {
  thread_ = std::thread([this] {
    for (;;) {
      try {
        context_->run();
        return;  // stopped
      } catch (...) {
      }
      // The loop can be run again after a handler threw; what the failure means is the owner's.
      try {
        if (onFailure_) onFailure_();
      } catch (...) {
      }
    }
  });
}

SerialQueue::~SerialQueue() {
  stop();
  if (thread_.joinable()) thread_.join();
  guard_.reset();
  std::vector<int> caught;
  for (const auto& [number, watch] : signals_) caught.push_back(number);
  signals_.clear();
  // Destroying the loop ends every pending operation; the signal sets put back the default
  // action as they go, which must not stand.
  context_.reset();
  for (int number : caught) ::signal(number, SIG_IGN);
}

void SerialQueue::async(Work work) { asio::post(*context_, std::move(work)); }

QueueSource SerialQueue::after(double seconds, Work work) {
  auto state = std::make_shared<QueueSource::State>();
  state->context = context_.get();
  const auto delay = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds > 0 ? seconds : 0));
  const auto deadline = std::chrono::steady_clock::now() + delay;
  asio::post(*context_, [this, state, deadline, work = std::move(work)]() mutable {
    if (state->cancelled) return;
    auto timer = std::make_shared<asio::steady_timer>(*context_, deadline);
    state->cancelOperation = [weak = std::weak_ptr<asio::steady_timer>(timer)] {
      if (auto t = weak.lock()) t->cancel();
    };
    timer->async_wait([timer, state, work = std::move(work)](const asio::error_code& error) {
      state->cancelOperation = nullptr;
      if (error || state->cancelled) return;
      work();
    });
  });
  return QueueSource(state);
}

namespace {

// Re-arms itself after every delivery until cancelled, the input ends, or the loop ends. Each
// pending wait holds the watcher alive.
struct ReadWatcher : std::enable_shared_from_this<ReadWatcher> {
  ReadWatcher(asio::io_context& context, UniqueFd fd, std::shared_ptr<QueueSource::State> state,
              std::function<void(const ReadEvent&)> handler)
      : context(context),
        pollable(isPollable(fd.get())),
        descriptor(context),
        state(std::move(state)),
        handler(std::move(handler)) {
    raw = fd.get();
    if (pollable) {
      asio::error_code error;
      descriptor.assign(fd.release(), error);
      if (error) {
        pollable = false;
        owned = UniqueFd(raw);
      }
    } else {
      owned = std::move(fd);
    }
  }

  ~ReadWatcher() {
    if (descriptor.is_open()) {
      asio::error_code ignored;
      descriptor.close(ignored);
    }
  }

  static bool isPollable(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    return S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) ||
           (S_ISCHR(info.st_mode) && ::isatty(fd));
  }

  void arm() {
    if (state->cancelled) return;
    if (!pollable) {
      // Regular files and /dev/null never block: read on the next turn of the loop.
      asio::post(context, [self = shared_from_this()] { self->readOnce(); });
      return;
    }
    descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                          [self = shared_from_this()](const asio::error_code& error) {
                            if (error) return;
                            self->readOnce();
                          });
  }

  void readOnce() {
    if (state->cancelled) return;
    std::array<char, 256> buffer{};
    const ssize_t count = ::read(raw, buffer.data(), buffer.size());
    ReadEvent event;
    if (count > 0) {
      event.kind = ReadEvent::Kind::data;
      event.bytes = std::span<const char>(buffer.data(), static_cast<size_t>(count));
    } else if (count == 0) {
      event.kind = ReadEvent::Kind::endOfFile;
    } else {
      if (errno == EAGAIN || errno == EINTR) {
        arm();
        return;
      }
      event.kind = ReadEvent::Kind::failed;
    }
    handler(event);
    if (event.kind == ReadEvent::Kind::endOfFile) return;
    // A source that keeps failing on a descriptor that is always "ready" would spin; give the
    // loop a breath before the next attempt.
    if (event.kind == ReadEvent::Kind::failed && !pollable) return;
    arm();
  }

  asio::io_context& context;
  bool pollable;
  asio::posix::stream_descriptor descriptor;
  UniqueFd owned;
  int raw = -1;
  std::shared_ptr<QueueSource::State> state;
  std::function<void(const ReadEvent&)> handler;
};

}  // namespace

std::optional<QueueSource> SerialQueue::readSource(int fd,
                                                   std::function<void(const ReadEvent&)> handler) {
  UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!copy) return std::nullopt;
  auto state = std::make_shared<QueueSource::State>();
  state->context = context_.get();
  asio::post(*context_, [this, state, copy = std::make_shared<UniqueFd>(std::move(copy)),
                         handler = std::move(handler)]() mutable {
    if (state->cancelled) return;
    auto watcher =
        std::make_shared<ReadWatcher>(*context_, std::move(*copy), state, std::move(handler));
    state->cancelOperation = [weak = std::weak_ptr<ReadWatcher>(watcher)] {
      if (auto w = weak.lock()) {
        asio::error_code ignored;
        w->descriptor.cancel(ignored);
      }
    };
    watcher->arm();
  });
  return QueueSource(state);
}

void SerialQueue::watchSignal(int signalNumber) {
  auto& watch = signals_[signalNumber];
  if (watch) return;
  watch = std::make_shared<SignalWatch>(*context_, signalNumber);
  // The process may block the signal until a handler exists, so that an early one stays pending
  // instead of being lost or killing it: from now on this thread takes it.
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signalNumber);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  struct Rearm {
    std::weak_ptr<SignalWatch> weak;
    void operator()(const asio::error_code& error, int) const {
      auto watch = weak.lock();
      if (error || !watch) return;
      // A handler may install further sources; iterate over a snapshot.
      auto handlers = watch->handlers;
      for (auto& [state, handler] : handlers) {
        if (!state->cancelled) handler();
      }
      std::erase_if(watch->handlers, [](const auto& entry) { return entry.first->cancelled.load(); });
      watch->set.async_wait(Rearm{weak});
    }
  };
  watch->set.async_wait(Rearm{watch});
}

void ignoreSignalUnlessBlocked(int signalNumber) {
  sigset_t blocked;
  if (::pthread_sigmask(SIG_BLOCK, nullptr, &blocked) == 0 && sigismember(&blocked, signalNumber) == 1) return;
  ::signal(signalNumber, SIG_IGN);
}

QueueSource SerialQueue::signalSource(int signalNumber, std::function<void()> handler) {
  // Ignored from this moment until the queue's own handler takes over on the queue.
  ignoreSignalUnlessBlocked(signalNumber);
  auto state = std::make_shared<QueueSource::State>();
  state->context = context_.get();
  asio::post(*context_, [this, signalNumber, state, handler = std::move(handler)]() mutable {
    watchSignal(signalNumber);
    signals_[signalNumber]->handlers.emplace_back(state, std::move(handler));
  });
  return QueueSource(state);
}

void SerialQueue::stop() { context_->stop(); }

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

}  // namespace rezoro::capture
