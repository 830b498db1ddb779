#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <thread>

namespace asio {
class io_context;
}

namespace rezoro::capture {

// A handle to work armed on a SerialQueue (a timer, a read source, a signal source). cancel()
// may be called from any thread; once it returns, the handler is never entered again (a handler
// that is already running finishes). Dropping the handle does not cancel: armed work stays armed
// until it fires, is cancelled, or the queue ends.
class QueueSource {
 public:
  QueueSource() = default;
  void cancel();
  bool isCancelled() const;

  struct State;
  explicit QueueSource(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};

// What a read source delivers: a chunk of the bytes read (up to 256 per read), the end of the
// input (delivered once; the source then stops watching), or a failed read (the source keeps
// watching).
struct ReadEvent {
  enum class Kind { data, endOfFile, failed };
  Kind kind = Kind::data;
  std::span<const char> bytes;
};

// Sets `signalNumber` to be ignored, so that it cannot kill the process, unless the calling thread
// blocks it: a blocked signal cannot kill either, and ignoring it would throw away one that is
// already pending (a stop asked for before the stop controls were in place).
void ignoreSignalUnlessBlocked(int signalNumber);

// One thread running one event loop: work posted to it runs one item at a time, in the order it
// was posted, on that thread. It is the only place where the recorder's state is touched, so the
// recorder takes no locks. The thread starts with the queue and runs until stop() or destruction.
class SerialQueue {
 public:
  using Work = std::function<void()>;

  // `onFailure` runs on the queue after a piece of work ended by throwing (an allocation failure,
  // say); the exception is dropped and the loop goes on with the next piece.
  explicit SerialQueue(Work onFailure = {});
  ~SerialQueue();  // stop() and wait for the thread; must not run on the queue itself
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Runs `work` on the queue after everything posted before it. Thread-safe.
  void async(Work work);

  // Runs `work` on the queue once `seconds` have passed on the monotonic clock. Thread-safe.
  QueueSource after(double seconds, Work work);

  // Watches `fd` (not taken over: the source reads a duplicate of it) and, each time it is
  // readable, reads once into a zeroed 256-byte buffer and hands the outcome to `handler` on the
  // queue. A descriptor that cannot be polled (a regular file, /dev/null) counts as always
  // readable. Thread-safe; fails only when the descriptor cannot be duplicated (returns nullopt).
  std::optional<QueueSource> readSource(int fd, std::function<void(const ReadEvent&)> handler);

  // Catches `signalNumber` for the rest of the queue's life and hands each delivery to `handler`
  // on the queue. The signal's default action is replaced at once and stays replaced after the
  // source is cancelled (later deliveries are then dropped), and is set to ignored when the queue
  // ends, so a stray signal never kills the process once a source was installed. A process that
  // blocks the signal in every thread from its start (so that an early one stays pending) has it
  // unblocked on the queue's thread once the source is in place. Thread-safe.
  QueueSource signalSource(int signalNumber, std::function<void()> handler);

  // Ends the loop: work not yet started is dropped. Thread-safe, idempotent.
  void stop();

  // True when called from within work running on this queue.
  bool isCurrent() const;

 private:
  struct SignalWatch;
  void watchSignal(int signalNumber);

  std::unique_ptr<asio::io_context> context_;
  struct Guard;
  std::unique_ptr<Guard> guard_;
  std::map<int, std::shared_ptr<SignalWatch>> signals_;  // touched on the queue only
  Work onFailure_;
  std::thread thread_;
};

}  // namespace rezoro::capture
