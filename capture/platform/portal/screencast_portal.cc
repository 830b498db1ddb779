#include "capture/platform/portal/screencast_portal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace rezoro::capture {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr double kCloseSeconds = 1.0;

constexpr uint32_t kSourceMonitor = 1;
constexpr uint32_t kCursorEmbedded = 2;
constexpr uint32_t kPersistUntilRevoked = 2;

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

// An sd_bus_error that frees itself.
struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&error); }
  // A method error means "no": the portal refused this process.
  bool refusal() const {
    return sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED) ||
           sd_bus_error_has_name(&error, "org.freedesktop.portal.Error.NotAllowed");
  }
};

double monotonicSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

uint64_t microseconds(double seconds) { return static_cast<uint64_t>(std::max(seconds, 0.001) * 1e6); }

// Connects to the session bus with method calls bounded by `seconds` (the library's default is 25 s).
Bus sessionBus(double seconds, std::string& error) {
  sd_bus* raw = nullptr;
  const int status = sd_bus_open_user(&raw);
  Bus bus(raw);
  if (status < 0) {
    error = "cannot connect to the session bus";
    return nullptr;
  }
  sd_bus_set_method_call_timeout(bus.get(), microseconds(seconds));
  return bus;
}

// One property of the ScreenCast interface.
std::optional<uint32_t> screenCastProperty(sd_bus* bus, const char* name) {
  BusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get", &error.error,
                         &raw, "ss", kScreenCast, name) < 0) {
    return std::nullopt;
  }
  Message reply(raw);
  uint32_t value = 0;
  if (sd_bus_message_read(reply.get(), "v", "u", &value) < 0) return std::nullopt;
  return value;
}

// Reads the a{sv} at the message's cursor, handing each key to `read`, which reads the variant and
// returns true, or returns false to have it skipped.
bool readVardict(sd_bus_message* message, const std::function<bool(const std::string&)>& read) {
  if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return false;
  for (;;) {
    const int entered = sd_bus_message_enter_container(message, 'e', "sv");
    if (entered < 0) return false;
    if (entered == 0) break;
    const char* key = nullptr;
    if (sd_bus_message_read(message, "s", &key) < 0) return false;
    if (!read(key) && sd_bus_message_skip(message, "v") < 0) return false;
    if (sd_bus_message_exit_container(message) < 0) return false;
  }
  return sd_bus_message_exit_container(message) >= 0;
}

// Reads a variant holding a string or an object path.
std::optional<std::string> readStringVariant(sd_bus_message* message) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(message, &type, &contents) < 0 || type != 'v' || contents == nullptr) {
    return std::nullopt;
  }
  if (std::string(contents) != "s" && std::string(contents) != "o") return std::nullopt;
  const char* text = nullptr;
  if (sd_bus_message_read(message, "v", contents, &text) < 0 || text == nullptr) return std::nullopt;
  return std::string(text);
}

// Reads a variant holding (ii).
std::optional<std::pair<int32_t, int32_t>> readPairVariant(sd_bus_message* message) {
  int32_t first = 0, second = 0;
  if (sd_bus_message_read(message, "v", "(ii)", &first, &second) < 0) return std::nullopt;
  return std::pair{first, second};
}

// One Request of the portal: the method call, then its Response signal, awaited until the deadline
// or until `cancel` becomes readable.
class PortalRequest {
 public:
  // `step` tells this request's handle token from the session's others.
  PortalRequest(sd_bus* bus, double deadline, int cancel, int step)
      : bus_(bus), deadline_(deadline), cancel_(cancel), step_(step) {}

  // Calls `method` with the arguments `append` adds, then a{sv} of `options` plus a handle_token;
  // waits for the Response and returns its results message positioned at the a{sv}.
  Message call(const char* method, const std::function<int(sd_bus_message*)>& append,
               const std::function<int(sd_bus_message*)>& options, PlatformError& error) {
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus_, &unique) < 0 || unique == nullptr || unique[0] != ':') {
      error.message = "the session bus gave no name";
      return nullptr;
    }
    std::string sender = unique + 1;
    std::replace(sender.begin(), sender.end(), '.', '_');
    const std::string token = "rezoro" + std::to_string(::getpid()) + "_" + std::to_string(step_);
    const std::string path = std::string(kPortalPath) + "/request/" + sender + "/" + token;

    // Subscribed before the call, so that a quick answer is not missed.
    sd_bus_slot* rawSlot = nullptr;
    if (sd_bus_match_signal(bus_, &rawSlot, nullptr, path.c_str(), "org.freedesktop.portal.Request", "Response",
                            &PortalRequest::onResponse, this) < 0) {
      error.message = "cannot subscribe to the portal's answer";
      return nullptr;
    }
    Slot slot(rawSlot);

    sd_bus_message* rawCall = nullptr;
    if (sd_bus_message_new_method_call(bus_, &rawCall, kPortalName, kPortalPath, kScreenCast, method) < 0) {
      error.message = "cannot build a portal call";
      return nullptr;
    }
    Message message(rawCall);
    if ((append && append(message.get()) < 0) || sd_bus_message_open_container(message.get(), 'a', "{sv}") < 0 ||
        sd_bus_message_append(message.get(), "{sv}", "handle_token", "s", token.c_str()) < 0 ||
        (options && options(message.get()) < 0) || sd_bus_message_close_container(message.get()) < 0) {
      error.message = "cannot build a portal call";
      return nullptr;
    }
    BusError callError;
    sd_bus_message* rawReply = nullptr;
    if (sd_bus_call(bus_, message.get(), microseconds(deadline_ - monotonicSeconds()), &callError.error,
                    &rawReply) < 0) {
      error.refused = callError.refusal();
      error.message = std::string("the portal's ") + method + " failed" +
                      (callError.error.message ? std::string(": ") + callError.error.message : "");
      return nullptr;
    }
    Message reply(rawReply);

    while (!response_) {
      const int processed = sd_bus_process(bus_, nullptr);
      if (processed < 0) {
        error.message = "the session bus connection was lost";
        return nullptr;
      }
      if (processed > 0) continue;
      const double remaining = deadline_ - monotonicSeconds();
      if (remaining <= 0) {
        error.message = std::string("the portal did not answer ") + method + " in time";
        return nullptr;
      }
      pollfd fds[2] = {{sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0}, {cancel_, POLLIN, 0}};
      ::poll(fds, cancel_ >= 0 ? 2 : 1, static_cast<int>(std::ceil(std::min(remaining, 0.25) * 1000)));
      if (cancel_ >= 0 && fds[1].revents) {
        error.message = "cancelled";
        return nullptr;
      }
    }
    if (code_ != 0) {
      // 1: the user cancelled; 2: the interaction ended otherwise (the portal said no).
      error.refused = true;
      error.message = std::string("the portal declined ") + method + " (" + std::to_string(code_) + ")";
      return nullptr;
    }
    return std::move(response_);
  }

 private:
  static int onResponse(sd_bus_message* message, void* self, sd_bus_error*) {
    auto* request = static_cast<PortalRequest*>(self);
    uint32_t code = 2;
    if (sd_bus_message_read(message, "u", &code) < 0) code = 2;
    request->code_ = code;
    request->response_.reset(sd_bus_message_ref(message));
    return 0;
  }

  sd_bus* bus_;
  double deadline_;
  int cancel_;
  int step_;
  Message response_;
  uint32_t code_ = 2;
};

}  // namespace

std::optional<ScreenCastPortalInfo> screenCastPortalInfo(double timeoutSeconds) {
  std::string error;
  Bus bus = sessionBus(timeoutSeconds, error);
  if (!bus) return std::nullopt;
  ScreenCastPortalInfo info;
  const std::optional<uint32_t> version = screenCastProperty(bus.get(), "version");
  if (!version) return std::nullopt;
  info.version = *version;
  info.availableSourceTypes = screenCastProperty(bus.get(), "AvailableSourceTypes").value_or(0);
  info.availableCursorModes = screenCastProperty(bus.get(), "AvailableCursorModes").value_or(0);
  return info;
}

std::unique_ptr<ScreenCastSession> ScreenCastSession::open(const std::optional<std::string>& restoreToken,
                                                           double timeoutSeconds, double answerSeconds, int cancel,
                                                           const std::function<void()>& asking,
                                                           PlatformError& error) {
  const double deadline = monotonicSeconds() + timeoutSeconds;
  Bus bus = sessionBus(timeoutSeconds, error.message);
  if (!bus) return nullptr;
  const std::optional<uint32_t> version = screenCastProperty(bus.get(), "version");
  if (!version) {
    error.message = "the session has no ScreenCast portal";
    return nullptr;
  }
  const uint32_t cursorModes = screenCastProperty(bus.get(), "AvailableCursorModes").value_or(0);

  std::unique_ptr<ScreenCastSession> session(new ScreenCastSession);
  PortalRequest create(bus.get(), deadline, cancel, 1);
  Message created = create.call(
      "CreateSession", nullptr,
      [](sd_bus_message* m) {
        const std::string token = "rezoro" + std::to_string(::getpid());
        return sd_bus_message_append(m, "{sv}", "session_handle_token", "s", token.c_str());
      },
      error);
  if (!created) return nullptr;
  readVardict(created.get(), [&](const std::string& key) {
    if (key != "session_handle") return false;
    session->handle_ = readStringVariant(created.get()).value_or("");
    return true;
  });
  if (session->handle_.empty()) {
    error.message = "the portal created no session";
    return nullptr;
  }
  // From here on the session exists on the portal's side and is closed with the object.
  session->bus_ = bus.release();
  const char* handle = session->handle_.c_str();

  if (asking) asking();
  const double answerDeadline = monotonicSeconds() + answerSeconds;
  PortalRequest select(session->bus_, answerDeadline, cancel, 2);
  Message selected = select.call(
      "SelectSources", [handle](sd_bus_message* m) { return sd_bus_message_append(m, "o", handle); },
      [&](sd_bus_message* m) {
        int status = sd_bus_message_append(m, "{sv}", "types", "u", kSourceMonitor);
        if (status >= 0) status = sd_bus_message_append(m, "{sv}", "multiple", "b", 0);
        if (status >= 0 && (cursorModes & kCursorEmbedded)) {
          status = sd_bus_message_append(m, "{sv}", "cursor_mode", "u", kCursorEmbedded);
        }
        if (status >= 0 && *version >= 4) {
          status = sd_bus_message_append(m, "{sv}", "persist_mode", "u", kPersistUntilRevoked);
          if (status >= 0 && restoreToken && !restoreToken->empty()) {
            status = sd_bus_message_append(m, "{sv}", "restore_token", "s", restoreToken->c_str());
          }
        }
        return status;
      },
      error);
  if (!selected) return nullptr;

  PortalRequest start(session->bus_, answerDeadline, cancel, 3);
  Message started = start.call(
      "Start", [handle](sd_bus_message* m) { return sd_bus_message_append(m, "os", handle, ""); }, nullptr, error);
  if (!started) return nullptr;
  bool haveStream = false;
  sd_bus_message* m = started.get();
  readVardict(m, [&](const std::string& key) {
    if (key == "restore_token") {
      session->restoreToken_ = readStringVariant(m);
      return true;
    }
    if (key != "streams" || sd_bus_message_enter_container(m, 'v', "a(ua{sv})") < 0) return false;
    if (sd_bus_message_enter_container(m, 'a', "(ua{sv})") >= 0) {
      // The first stream is ours (one monitor was asked for); the rest are skipped.
      while (sd_bus_message_enter_container(m, 'r', "ua{sv}") > 0) {
        uint32_t node = 0;
        std::optional<std::pair<int32_t, int32_t>> position, size;
        sd_bus_message_read(m, "u", &node);
        readVardict(m, [&](const std::string& property) {
          if (property == "position") return (position = readPairVariant(m)).has_value();
          if (property == "size") return (size = readPairVariant(m)).has_value();
          return false;
        });
        sd_bus_message_exit_container(m);
        if (haveStream) continue;
        haveStream = true;
        session->stream_.node = node;
        if (size && size->first > 0 && size->second > 0) {
          const auto [x, y] = position.value_or(std::pair{0, 0});
          session->stream_.frame = DisplayRect{double(x), double(y), double(size->first), double(size->second)};
        }
      }
      sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    return true;
  });
  if (!haveStream) {
    error.message = "the portal started no stream";
    return nullptr;
  }
  return session;
}

UniqueFd ScreenCastSession::openPipeWireRemote(double timeoutSeconds, PlatformError& error) {
  BusError callError;
  sd_bus_message* rawCall = nullptr;
  sd_bus_message* rawReply = nullptr;
  if (sd_bus_message_new_method_call(bus_, &rawCall, kPortalName, kPortalPath, kScreenCast, "OpenPipeWireRemote") < 0) {
    error.message = "cannot build a portal call";
    return UniqueFd();
  }
  Message call(rawCall);
  if (sd_bus_message_append(call.get(), "o", handle_.c_str()) < 0 ||
      sd_bus_message_append(call.get(), "a{sv}", 0) < 0 ||
      sd_bus_call(bus_, call.get(), microseconds(timeoutSeconds), &callError.error, &rawReply) < 0) {
    error.refused = callError.refusal();
    error.message = "the portal gave no PipeWire connection";
    return UniqueFd();
  }
  Message reply(rawReply);
  int fd = -1;
  if (sd_bus_message_read(reply.get(), "h", &fd) < 0 || fd < 0) {
    error.message = "the portal gave no PipeWire connection";
    return UniqueFd();
  }
  // The descriptor belongs to the message.
  return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
}

void ScreenCastSession::watchForClosing(std::function<void(bool)> onClosed) {
  onClosed_ = std::move(onClosed);
  wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  auto closed = [](sd_bus_message*, void* self, sd_bus_error*) {
    auto* session = static_cast<ScreenCastSession*>(self);
    session->closedByPortal_ = true;
    session->closed_ = true;
    return 0;
  };
  if (sd_bus_match_signal(bus_, &closedSlot_, nullptr, handle_.c_str(), "org.freedesktop.portal.Session", "Closed",
                          closed, this) < 0) {
    closed_ = true;
  }
  watcher_ = std::thread([this] { watch(); });
}

void ScreenCastSession::watch() {
  while (!closed_) {
    const int processed = sd_bus_process(bus_, nullptr);
    if (processed < 0) break;
    if (processed > 0) continue;
    pollfd fds[2] = {{sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0}, {wake_.get(), POLLIN, 0}};
    ::poll(fds, 2, 1000);
    if (fds[1].revents) return;  // told to stop
  }
  closed_ = true;
  if (onClosed_) onClosed_(closedByPortal_);
}

ScreenCastSession::~ScreenCastSession() {
  if (watcher_.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
    watcher_.join();
  }
  if (closedSlot_) sd_bus_slot_unref(closedSlot_);
  if (!bus_) return;
  if (!closed_ && !handle_.empty()) {
    // Ends the cast now rather than when the bus connection goes.
    sd_bus_set_method_call_timeout(bus_, microseconds(kCloseSeconds));
    sd_bus_call_method(bus_, kPortalName, handle_.c_str(), "org.freedesktop.portal.Session", "Close", nullptr,
                       nullptr, "");
  }
  sd_bus_flush_close_unref(bus_);
}

}  // namespace rezoro::capture
