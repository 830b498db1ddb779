#pragma once

// What the private headless desktops of the tests share: a temporary folder with the desktop's
// runtime folder and the logs of its processes, commands and processes run in the desktop's own
// environment, waits that report those logs when they fail, the session bus with PipeWire and
// WirePlumber, and the turns that desktops take.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/test_basics.h"

namespace rezoro::capture::testing {

class PrivateDesktop {
 public:
  using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

  PrivateDesktop(const PrivateDesktop&) = delete;
  PrivateDesktop& operator=(const PrivateDesktop&) = delete;

  const std::filesystem::path& folder() const { return folder_.path(); }
  std::string busAddress() const { return "unix:path=" + (runtime() / "bus").string(); }

  // One desktop at a time for this user (every kind takes the same turns): tests run side by side, and two desktops drawn by pixman
  // on a small machine starve each other's first pictures past a short recording. Held while the
  // returned descriptor is open; without a lock file (an unwritable temporary folder) no turns.
  static UniqueFd waitForTurn() {
    const auto path = std::filesystem::temp_directory_path() /
                      ("rezoro-wayland-desktop-" + std::to_string(::getuid()) + ".lock");
    UniqueFd lock(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock) return lock;
    while (::flock(lock.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    return lock;
  }

 protected:
  // `name` says which desktop in the errors ("the Wayland desktop").
  explicit PrivateDesktop(std::string name) : name_(std::move(name)) {}
  virtual ~PrivateDesktop() = default;

  // The variables a client of the desktop needs; its restore token goes under `stateHome`.
  Environment clientVariables(const std::filesystem::path& stateHome, const std::string& waylandDisplay) const {
    return {{"XDG_RUNTIME_DIR", runtime().string()},
            {"DBUS_SESSION_BUS_ADDRESS", busAddress()},
            {"WAYLAND_DISPLAY", waylandDisplay},
            {"XDG_SESSION_TYPE", "wayland"},
            {"XDG_STATE_HOME", stateHome.string()},
            {"DISPLAY", std::nullopt}};
  }

  // The variables of every process of the desktop.
  virtual Environment serviceEnvironment() const = 0;

  std::filesystem::path runtime() const { return folder() / "run"; }
  void prepareFolders() const {
    std::filesystem::create_directories(runtime());
    std::filesystem::permissions(runtime(), std::filesystem::perms::owner_all);
    std::filesystem::create_directories(folder() / "logs");
  }
  void write(const std::filesystem::path& path, const std::string& text, bool executable = false) const {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
    if (executable) std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  ChildProcess launch(const std::vector<std::string>& argv, const std::string& log) const {
    ChildProcess::Options options;
    options.environment = serviceEnvironment();
    options.output = folder() / "logs" / (log + ".log");
    return ChildProcess::start(argv, options);
  }
  // Output of a short command run in the desktop's environment ("" when it failed).
  std::string run(const std::vector<std::string>& argv, int seconds = 10) const {
    const auto output = folder() / "logs" / "command.out";
    std::filesystem::remove(output);
    ChildProcess::Options options;
    options.environment = serviceEnvironment();
    options.output = output;
    ChildProcess command = ChildProcess::start(argv, options);
    return command.wait(std::chrono::seconds(seconds)) == 0 ? readWholeFile(output) : std::string();
  }
  bool busHasName(const std::string& name) const {
    return run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus.NameHasOwner", "string:" + name})
               .find("boolean true") != std::string::npos;
  }

  template <class Ready>
  void waitFor(std::chrono::seconds limit, Ready ready, const std::string& what) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
      if (std::chrono::steady_clock::now() > deadline) {
        std::string logs;
        for (const auto& entry : std::filesystem::directory_iterator(folder() / "logs")) {
          logs += "\n--- " + entry.path().filename().string() + "\n" + readWholeFile(entry.path());
        }
        throw std::runtime_error(name_ + " did not come up: no " + what + logs);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // The session bus, then PipeWire and its session manager, which links the portal's node to its
  // consumers; each waited for.
  void startSessionServices(ChildProcess& bus, ChildProcess& pipewire, ChildProcess& wireplumber) const {
    bus = launch({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + busAddress()}, "dbus");
    waitFor(std::chrono::seconds(10), [&] { return busHasName("org.freedesktop.DBus"); }, "session bus");
    pipewire = launch({"pipewire"}, "pipewire");
    waitFor(std::chrono::seconds(10), [&] { return !run({"pw-cli", "info", "0"}).empty(); }, "PipeWire");
    wireplumber = launch({"wireplumber"}, "wireplumber");
    waitFor(std::chrono::seconds(20),
            [&] { return run({"pw-cli", "ls", "Client"}).find("\"WirePlumber\"") != std::string::npos; },
            "WirePlumber");
  }

  // The permission store was started by the bus on the portal's behalf: asks the bus for its PID
  // while the bus is still there, and stops it.
  void stopPermissionStore() const {
    const std::string answer = run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                    "/org/freedesktop/DBus", "org.freedesktop.DBus.GetConnectionUnixProcessID",
                                    "string:org.freedesktop.impl.portal.PermissionStore"});
    const auto number = answer.find("uint32 ");
    if (number != std::string::npos) {
      const pid_t pid = static_cast<pid_t>(std::atol(answer.c_str() + number + 7));
      if (pid > 1) ::kill(pid, SIGTERM);
    }
  }

 private:
  const std::string name_;
  TemporaryFolder folder_;
};

}  // namespace rezoro::capture::testing
