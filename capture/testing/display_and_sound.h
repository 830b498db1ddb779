#pragma once

// A private X display and sound server for integration tests of the capture program.
//
//   auto world = testing::DisplayAndSound::start();   // Xvfb 1920x1080x24 + PulseAudio null sink
//   // DISPLAY and PULSE_SERVER now name them, for this process and the children it starts.
//   testing::AnimatedWindow window(100, 100, 320, 240);  // a window of this process, _NET_WM_PID set
//   window.setAnimating(true);                            // redrawn every 20 ms
//   world->sound().playTone(1000, 2.0).wait();            // sox + paplay into the null sink
//
// Everything is started by this process, listens only on sockets in a private temporary folder (X
// on its abstract/unix socket, -nolisten tcp), and is stopped by PID when the object is released:
// SIGTERM, then SIGKILL after 3 s, and always reaped. Only the parts asked for are started
// (VirtualDisplay::start(), VirtualSoundServer::start() on their own). Failures to start throw
// std::runtime_error with the child's log attached. Needs Xvfb, pulseaudio (or pipewire,
// wireplumber, pipewire-pulse and dbus-daemon), sox, paplay and pactl.
//
// The pieces the servers are made of (a private folder, a child process stopped by PID, a scoped
// environment variable) and the animated test window live here too, beside the servers they serve;
// the other harness headers build on them.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"

extern char** environ;

namespace rezoro::capture::testing {

// A private folder below /tmp, removed with everything in it on release.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rezoro-env-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A process started by the harness. Released (or stop()ped): SIGTERM, then SIGKILL after `grace`,
// and reaped, so no child outlives its owner.
class ChildProcess {
 public:
  struct Options {
    std::vector<std::pair<std::string, std::optional<std::string>>> environment;  // none = unset
    std::optional<std::filesystem::path> output;  // stdout and stderr; /dev/null when none
    std::vector<std::pair<int, int>> keepDescriptors;  // (parent fd, child fd)
  };

  ChildProcess() = default;
  static ChildProcess start(const std::vector<std::string>& argv, const Options& options = {}) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
      const std::string text = *entry;
      bool overridden = false;
      for (const auto& [name, value] : options.environment) {
        overridden = overridden || text.rfind(name + "=", 0) == 0;
      }
      if (!overridden) environment.push_back(text);
    }
    for (const auto& [name, value] : options.environment) {
      if (value) environment.push_back(name + "=" + *value);
    }
    std::vector<char*> args, envp;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string output = options.output ? options.output->string() : "/dev/null";
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    for (const auto& [from, to] : options.keepDescriptors) posix_spawn_file_actions_adddup2(&actions, from, to);
    // Own process group, so a terminal's Ctrl-C meant for the test does not reach it first.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    pid_t pid = -1;
    const int status = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (status != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(status));
    ChildProcess child;
    child.pid_ = pid;
    return child;
  }

  ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  ChildProcess& operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
      stop();
      pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
  }
  ~ChildProcess() { stop(); }

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

  // Waits for the child to end on its own; its exit status, or -1 when it was killed or not there.
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (true) {
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (done < 0 || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    return -1;
  }

  void stop(std::chrono::milliseconds grace = std::chrono::seconds(3)) {
    if (pid_ <= 0) return;
    const pid_t pid = std::exchange(pid_, -1);
    ::kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (std::chrono::steady_clock::now() < deadline) {
      const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
      if (done == pid || done < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

// Sets an environment variable of this process and puts back the old value on release.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    ::setenv(name_.c_str(), value.c_str(), 1);
  }
  ~ScopedEnvironmentVariable() {
    if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    else ::unsetenv(name_.c_str());
  }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Xvfb on a display number it picks itself (-displayfd), so parallel test processes never collide.
class VirtualDisplay {
  struct Key {};

 public:
  explicit VirtualDisplay(Key) {}
  // `disabledExtensions`: extensions the server leaves out (-extension NAME).
  static std::unique_ptr<VirtualDisplay> start(int width = 1920, int height = 1080,
                                               const std::vector<std::string>& disabledExtensions = {}) {
    auto display = std::make_unique<VirtualDisplay>(Key{});
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    const auto log = display->folder_.path() / "xvfb.log";
    ChildProcess::Options options;
    options.output = log;
    options.keepDescriptors = {{writeEnd.get(), 3}};
    std::vector<std::string> argv{"Xvfb", "-displayfd", "3", "-screen", "0",
                                  std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp",
                                  "-noreset"};
    for (const std::string& extension : disabledExtensions) argv.insert(argv.end(), {"-extension", extension});
    display->server_ = ChildProcess::start(argv, options);
    writeEnd.reset();
    std::string number;
    pollfd wait{readEnd.get(), POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      if (::poll(&wait, 1, 100) <= 0) continue;
      char chunk[16];
      const ssize_t count = ::read(readEnd.get(), chunk, sizeof chunk);
      if (count <= 0) break;
      number.append(chunk, static_cast<size_t>(count));
      if (number.find('\n') != std::string::npos) break;
    }
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
    if (number.empty()) {
      throw std::runtime_error("Xvfb did not start: " + readWholeFile(log));
    }
    display->name_ = ":" + number;
    return display;
  }

  const std::string& name() const { return name_; }
  pid_t pid() const { return server_.pid(); }
  // Ends the server now, as a crash of the display would.
  void kill() { server_.stop(std::chrono::milliseconds(500)); }

 private:
  TemporaryFolder folder_;
  ChildProcess server_;
  std::string name_;
};

// The two servers of the PulseAudio protocol that Linux desktops run: PulseAudio itself, and
// PipeWire's pulse server (pipewire + wireplumber + pipewire-pulse), the default of GNOME and KDE.
enum class SoundServerKind { pulseaudio, pipewire };
inline const char* soundServerName(SoundServerKind kind) {
  return kind == SoundServerKind::pipewire ? "PipeWire" : "PulseAudio";
}
inline constexpr SoundServerKind kSoundServerKinds[] = {SoundServerKind::pulseaudio, SoundServerKind::pipewire};
// Names parametrised tests by their server ("…/PulseAudio", "…/PipeWire").
struct SoundServerParameterName {
  template <class Parameter>
  std::string operator()(const Parameter& info) const { return soundServerName(info.param); }
};
// How much a test player buffers: 20 ms, or what the server gives a client that asks for nothing
// (about 2 s on PulseAudio), as many desktop players do.
enum class PlayerBuffering { low, serverDefault };

// A sound server of this process with one null sink ("rezoro_test", 48 kHz stereo) as the default
// sink, reachable only through its socket in a private folder (anonymous authentication).
class VirtualSoundServer {
  struct Key {};

 public:
  explicit VirtualSoundServer(Key) {}
  ~VirtualSoundServer() {
    listener_.stop();
    daemon_.stop();
    while (!helpers_.empty()) helpers_.pop_back();  // the session, then PipeWire, then its bus
  }
  static constexpr const char* kSinkName = "rezoro_test";

  // `keepSinkAwake` (PulseAudio): a fresh null sink sleeps in ~2 s blocks, so a new record stream
  // of its monitor hears nothing for up to 2 s; a standing low-latency listener keeps it in 20 ms
  // blocks, as a busy sound card would be (first audio within ~50 ms). PipeWire needs none.
  static std::unique_ptr<VirtualSoundServer> start(bool keepSinkAwake = true,
                                                   SoundServerKind kind = SoundServerKind::pulseaudio) {
    auto sound = std::make_unique<VirtualSoundServer>(Key{});
    sound->kind_ = kind;
    const auto& folder = sound->folder_.path();
    const auto runtime = folder / "runtime";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    if (kind == SoundServerKind::pipewire) {
      sound->startPipeWire();
      return sound;
    }
    sound->keepSinkAwake_ = keepSinkAwake;
    sound->startPulseAudio();
    return sound;
  }

  // Stops the server by its pid (SIGTERM, as `systemctl --user restart` does after an update) and
  // starts it again on the same socket with the same configuration, its sink the default again;
  // returns once it accepts clients with the sink in place (and, on PulseAudio with a sink kept
  // awake, once that sink runs). Its players are cut off. `wholeSession` (PipeWire): pipewire and
  // WirePlumber are restarted too, before pipewire-pulse, as a restart of the user's session is.
  void restart(bool wholeSession = false) {
    daemon_.stop();
    if (kind_ == SoundServerKind::pulseaudio) {
      listener_.stop();
      startPulseAudio();
      return;
    }
    if (wholeSession) {
      while (helpers_.size() > 1) helpers_.pop_back();  // WirePlumber, then PipeWire; the bus stays
    }
    startPipeWireServers(wholeSession);
  }

  // The value for PULSE_SERVER.
  std::string server() const { return "unix:" + socket_.string(); }
  SoundServerKind kind() const { return kind_; }
  pid_t pid() const { return daemon_.pid(); }
  const std::filesystem::path& folder() const { return folder_.path(); }
  // Ends the daemon now, as a crash of the sound server would.
  void kill() { daemon_.stop(std::chrono::milliseconds(500)); }

  // Plays a sine tone of `frequency` Hz at `amplitude` (0..1) for `seconds` into the default sink;
  // the returned process ends when it has been played.
  ChildProcess playTone(double frequency, double seconds, double amplitude = 0.5,
                        PlayerBuffering buffering = PlayerBuffering::low) const {
    const auto file = folder_.path() / ("tone-" + std::to_string(++tones_) + ".wav");
    return startTone(file, frequency, seconds, amplitude, server(), {}, buffering);
  }

  // Runs pactl on this server; its standard output, and throws when it fails.
  std::string pactl(const std::vector<std::string>& arguments) const {
    const auto output = folder_.path() / ("pactl-" + std::to_string(++tones_) + ".out");
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess::Options options;
    options.environment = {{"PULSE_SERVER", server()}};
    options.output = output;
    ChildProcess command = ChildProcess::start(argv, options);
    const int status = command.wait(std::chrono::seconds(10));
    std::string text = readWholeFile(output);
    if (status != 0) throw std::runtime_error("pactl " + arguments.front() + " failed: " + text);
    return text;
  }
  // Moves every sink input to the sink `name`, as a desktop does when the output changes.
  void moveSinkInputs(const std::string& name) const {
    std::istringstream lines(pactl({"list", "short", "sink-inputs"}));
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty()) pactl({"move-sink-input", line.substr(0, line.find('\t')), name});
    }
  }
  // Adds a null sink named `name` (48 kHz stereo); with `makeDefault`, it becomes the default sink.
  void addSink(const std::string& name, bool makeDefault) const {
    pactl({"load-module", "module-null-sink", "sink_name=" + name, "rate=48000", "channels=2"});
    if (makeDefault) setDefaultSink(name);
  }
  // Makes `name` the default sink (both servers then move the streams that played into the old one).
  void setDefaultSink(const std::string& name) const {
    for (int attempt = 0;; ++attempt) {  // PipeWire makes a new sink's node a moment later
      try {
        pactl({"set-default-sink", name});
        if (pactl({"get-default-sink"}).rfind(name, 0) == 0) return;
      } catch (const std::runtime_error&) {
        if (attempt > 100) throw;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // Writes a 48 kHz stereo 16-bit WAV file of the tone (sox).
  static void writeTone(const std::filesystem::path& file, double frequency, double seconds, double amplitude) {
    std::ostringstream gain;
    gain << amplitude;
    ChildProcess sox = ChildProcess::start({"sox", "-n", "-r", "48000", "-c", "2", "-b", "16",
                                            file.string(), "synth", std::to_string(seconds), "sine",
                                            std::to_string(frequency), "vol", gain.str()});
    if (sox.wait() != 0) throw std::runtime_error("sox could not make the tone");
  }

  // Writes the tone to `file` (sox) and plays it (paplay) on `server` (the inherited PULSE_SERVER
  // when empty) with the given paplay device option (the default sink when empty).
  static ChildProcess startTone(const std::filesystem::path& file, double frequency, double seconds,
                                double amplitude, const std::string& server = {}, const std::string& device = {},
                                PlayerBuffering buffering = PlayerBuffering::low) {
    writeTone(file, frequency, seconds, amplitude);
    ChildProcess::Options options;
    if (!server.empty()) options.environment = {{"PULSE_SERVER", server}};
    std::vector<std::string> argv{"paplay", file.string()};
    if (buffering == PlayerBuffering::low) argv.insert(argv.begin() + 1, "--latency-msec=20");
    if (!device.empty()) argv.insert(argv.begin() + 1, device);
    return ChildProcess::start(argv, options);
  }

 private:
  // PulseAudio on the private socket with the null sink as its default.
  void startPulseAudio() {
    const auto& folder = folder_.path();
    const auto runtime = folder / "runtime";
    socket_ = folder / "pulse.sock";
    {
      std::ofstream script(folder / "pa.pa");
      script << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket_.string()
             << "\nload-module module-null-sink sink_name=" << kSinkName
             << " rate=48000 channels=2\nset-default-sink " << kSinkName
             // as desktops run it (Debian's default.pa): a sink nothing uses sleeps until it is used
             << "\nload-module module-suspend-on-idle timeout=1\n";
    }
    ChildProcess::Options options;
    options.output = folder / "pulse.log";
    // A private home and runtime folder keep it away from any user session; without DISPLAY it
    // does not try to reach an X server or autolaunch D-Bus.
    options.environment = {{"HOME", folder.string()},
                           {"XDG_RUNTIME_DIR", runtime.string()},
                           {"XDG_CONFIG_HOME", (folder / "config").string()},
                           {"DISPLAY", std::nullopt},
                           {"PULSE_SERVER", std::nullopt},
                           {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}};
    daemon_ = ChildProcess::start({"pulseaudio", "-n", "-F", (folder / "pa.pa").string(), "--daemonize=no",
                                   "--exit-idle-time=-1", "--use-pid-file=no", "--log-target=stderr"},
                                  options);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!accepting()) {
      if (!daemon_.running() || std::chrono::steady_clock::now() > deadline) {
        throw std::runtime_error("pulseaudio did not start: " + readWholeFile(folder / "pulse.log"));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (keepSinkAwake_) {
      // It records 8 kB/s (8-bit mono at 8 kHz) into a file, whose first bytes tell that the sink
      // has left its first long sleep.
      ChildProcess::Options listener;
      listener.environment = {{"PULSE_SERVER", server()}};
      listener.output = folder / "listener.raw";
      std::filesystem::remove(folder / "listener.raw");
      listener_ = ChildProcess::start({"pacat", "--record", "--raw", "--latency-msec=20", "--format=u8",
                                       "--channels=1", "--rate=8000", "--device=" + std::string(kSinkName) + ".monitor"},
                                      listener);
      std::error_code missing;
      while (std::filesystem::file_size(folder / "listener.raw", missing) == 0 || missing) {
        if (!listener_.running() || std::chrono::steady_clock::now() > deadline) {
          throw std::runtime_error("the sink's monitor stays silent");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }

  }

  // A private session as a desktop runs it: its own D-Bus, PipeWire, WirePlumber and pipewire-pulse,
  // all on the private runtime folder, each waited for in turn.
  void startPipeWire() {
    const auto runtime = folder_.path() / "runtime";
    startHelper({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + (runtime / "bus").string()},
                [&] { return std::filesystem::exists(runtime / "bus"); });
    startPipeWireServers(true);
  }

  ChildProcess::Options pipeWireOptions() const {
    const auto& folder = folder_.path();
    const auto runtime = folder / "runtime";
    ChildProcess::Options options;
    options.output = folder / "pipewire.log";
    options.environment = {{"HOME", folder.string()}, {"XDG_RUNTIME_DIR", runtime.string()},
                           {"XDG_CONFIG_HOME", (folder / "config").string()},
                           {"XDG_STATE_HOME", (folder / "state").string()},
                           {"XDG_DATA_HOME", (folder / "data").string()},
                           {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (runtime / "bus").string()},
                           {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt},
                           {"PULSE_SERVER", std::nullopt}, {"PIPEWIRE_REMOTE", std::nullopt}};
    return options;
  }

  // Starts a helper of PipeWire's session and waits up to 15 s for `ready`.
  template <class Ready>
  void startHelper(const std::vector<std::string>& argv, Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    helpers_.push_back(ChildProcess::start(argv, pipeWireOptions()));
    while (!ready()) {
      if (!helpers_.back().running() || std::chrono::steady_clock::now() > deadline) {
        throw std::runtime_error(argv.front() + " did not start: " + readWholeFile(folder_.path() / "pipewire.log"));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // pipewire-pulse with the sink as the default; with `session`, PipeWire and WirePlumber first.
  void startPipeWireServers(bool session) {
    const auto runtime = folder_.path() / "runtime";
    if (session) {
      startHelper({"pipewire"}, [&] { return accepting(runtime / "pipewire-0"); });
      startHelper({"wireplumber"}, [] { return true; });
    }
    socket_ = runtime / "pulse" / "native";
    daemon_ = ChildProcess::start({"pipewire-pulse"}, pipeWireOptions());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!accepting()) {
      if (!daemon_.running() || std::chrono::steady_clock::now() > deadline) {
        throw std::runtime_error("pipewire-pulse did not start: " + readWholeFile(folder_.path() / "pipewire.log"));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    addSink(kSinkName, true);
  }

  bool accepting() const { return accepting(socket_); }
  static bool accepting(const std::filesystem::path& socket) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    return fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  TemporaryFolder folder_;
  SoundServerKind kind_ = SoundServerKind::pulseaudio;
  bool keepSinkAwake_ = true;
  std::filesystem::path socket_;
  std::vector<ChildProcess> helpers_;  // PipeWire's session: bus, pipewire, wireplumber
  ChildProcess daemon_;    // pulseaudio or pipewire-pulse
  ChildProcess listener_;  // released before the daemon
  mutable int tones_ = 0;
};

// Both servers, named by DISPLAY and PULSE_SERVER in this process while the object lives.
class DisplayAndSound {
  struct Key {};

 public:
  explicit DisplayAndSound(Key) {}
  struct Parts {
    bool display = true;
    bool sound = true;
    bool keepSinkAwake = true;
    std::vector<std::string> disabledExtensions = {};
    SoundServerKind server = SoundServerKind::pulseaudio;
  };
  static std::unique_ptr<DisplayAndSound> start() { return start(Parts{true, true, true}); }
  static std::unique_ptr<DisplayAndSound> start(Parts parts) {
    auto world = std::make_unique<DisplayAndSound>(Key{});
    if (parts.display) {
      world->display_ = VirtualDisplay::start(1920, 1080, parts.disabledExtensions);
      world->displayVariable_.emplace("DISPLAY", world->display_->name());
    }
    if (parts.sound) {
      world->sound_ = VirtualSoundServer::start(parts.keepSinkAwake, parts.server);
      world->soundVariable_.emplace("PULSE_SERVER", world->sound_->server());
    }
    return world;
  }

  VirtualDisplay& display() { return *display_; }
  VirtualSoundServer& sound() { return *sound_; }

 private:
  // Servers stop after the variables are put back (members are released in reverse order).
  std::unique_ptr<VirtualDisplay> display_;
  std::unique_ptr<VirtualSoundServer> sound_;
  std::optional<ScopedEnvironmentVariable> displayVariable_;
  std::optional<ScopedEnvironmentVariable> soundVariable_;
};

// The colour (0xRRGGBB) of one pixel of the screen of $DISPLAY, 0 when it cannot be read.
inline uint32_t screenPixel(int x, int y) {
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(xcb_connect(nullptr, nullptr), xcb_disconnect);
  if (xcb_connection_has_error(connection.get())) return 0;
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection.get())).data;
  std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> image(
      xcb_get_image_reply(connection.get(),
                          xcb_get_image(connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, static_cast<int16_t>(x),
                                        static_cast<int16_t>(y), 1, 1, ~0u),
                          nullptr),
      std::free);
  if (!image || xcb_get_image_data_length(image.get()) < 4) return 0;
  const uint8_t* bgra = xcb_get_image_data(image.get());
  return (uint32_t(bgra[2]) << 16) | (uint32_t(bgra[1]) << 8) | bgra[0];
}

// Waits up to 10 s for the screen to show `colour` at (x, y).
inline bool waitForScreenColour(int x, int y, uint32_t colour) {
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       std::chrono::steady_clock::now() < deadline;) {
    if (screenPixel(x, y) == colour) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A window of this process on $DISPLAY (with _NET_WM_PID and WM_CLASS "rezoro-test"), filled with
// one colour. While animating, a thread draws a moving bar into it every 20 ms.
class AnimatedWindow {
 public:
  AnimatedWindow(int x, int y, int width, int height, uint32_t colour = 0x204080)
      : width_(width), height_(height) {
    connection_.reset(xcb_connect(nullptr, nullptr));
    if (xcb_connection_has_error(connection_.get())) throw std::runtime_error("no X display");
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_.get())).data;
    window_ = xcb_generate_id(connection_.get());
    const uint32_t values[] = {colour, 1u /* override-redirect: placed exactly, no WM needed */};
    xcb_create_window(connection_.get(), XCB_COPY_FROM_PARENT, window_, screen->root,
                      static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<uint16_t>(width),
                      static_cast<uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    const uint32_t pid = static_cast<uint32_t>(::getpid());
    xcb_change_property(connection_.get(), XCB_PROP_MODE_REPLACE, window_, atom("_NET_WM_PID"),
                        XCB_ATOM_CARDINAL, 32, 1, &pid);
    const char wmClass[] = "rezoro-test\0rezoro-test";
    xcb_change_property(connection_.get(), XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS,
                        XCB_ATOM_STRING, 8, sizeof wmClass, wmClass);
    gc_ = xcb_generate_id(connection_.get());
    xcb_create_gc(connection_.get(), gc_, window_, 0, nullptr);
    xcb_map_window(connection_.get(), window_);
    fill(colour);
    thread_ = std::thread([this] { animate(); });
  }
  ~AnimatedWindow() {
    running_ = false;
    thread_.join();
  }
  AnimatedWindow(const AnimatedWindow&) = delete;
  AnimatedWindow& operator=(const AnimatedWindow&) = delete;

  xcb_window_t window() const { return window_; }
  void setAnimating(bool animating) { animating_ = animating; }

  // Fills part of the window with `colour` (0xRRGGBB); with `wait`, returns once the server has.
  void fillRectangle(uint32_t colour, int x, int y, int width, int height, bool wait = false) {
    std::lock_guard lock(mutex_);
    drawRectangle(colour, x, y, width, height);
    if (wait) {
      Reply<xcb_get_input_focus_reply_t> sync(
          xcb_get_input_focus_reply(connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
    }
  }

  // Fills the whole window with `colour` (0xRRGGBB) and waits until the server has done it.
  void fill(uint32_t colour) {
    std::lock_guard lock(mutex_);
    drawRectangle(colour, 0, 0, width_, height_);
    Reply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
  }

 private:
  struct Disconnect {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
  };
  struct Free {
    void operator()(void* pointer) const { std::free(pointer); }
  };
  template <class T>
  using Reply = std::unique_ptr<T, Free>;

  xcb_atom_t atom(const char* name) {
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection_.get(), xcb_intern_atom(connection_.get(), 0, static_cast<uint16_t>(std::strlen(name)), name),
        nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  }

  void drawRectangle(uint32_t colour, int x, int y, int width, int height) {
    xcb_change_gc(connection_.get(), gc_, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t area{static_cast<int16_t>(x), static_cast<int16_t>(y),
                               static_cast<uint16_t>(width), static_cast<uint16_t>(height)};
    xcb_poly_fill_rectangle(connection_.get(), window_, gc_, 1, &area);
    xcb_flush(connection_.get());
  }

  void animate() {
    int step = 0;
    while (running_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (!animating_) continue;
      std::lock_guard lock(mutex_);
      const int bar = std::max(4, width_ / 8);
      const int x = (step * 7) % std::max(1, width_ - bar);
      drawRectangle(0x000000, 0, 0, width_, height_);
      drawRectangle(0xF0C020 ^ static_cast<uint32_t>(step * 0x010203), x, 0, bar, height_);
      ++step;
    }
  }

  std::unique_ptr<xcb_connection_t, Disconnect> connection_;
  xcb_window_t window_ = 0;
  uint32_t gc_ = 0;
  int width_, height_;
  std::mutex mutex_;
  std::atomic<bool> running_{true};
  std::atomic<bool> animating_{false};
  std::thread thread_;
};

}  // namespace rezoro::capture::testing
