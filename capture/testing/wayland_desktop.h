#pragma once

// A private headless Wayland desktop with the ScreenCast portal, for integration tests of the
// capture program's Wayland path.
//
//   if (auto missing = testing::WaylandDesktop::missingComponent()) GTEST_SKIP() << *missing;
//   auto desktop = testing::WaylandDesktop::start();
//   desktop->showScene(testing::WaylandDesktop::Scene::flashing);
//   // run a client with desktop->clientEnvironment(stateFolder)
//
// Started, in this order, each waited for: sway (headless wlroots output HEADLESS-1 drawn by pixman,
// no GPU, no Xwayland; as root, in a user namespace where it is not root: it refuses to run as root), a
// session D-Bus on a socket of its own, PipeWire and WirePlumber (no pipewire-pulse: sound stays on
// the PulseAudio server the tests start), xdg-desktop-portal-wlr and xdg-desktop-portal. Every socket
// and file lives in a private temporary folder; the processes are stopped by PID when the object is
// released (the D-Bus-activated permission store too). Two outputs: HEADLESS-1 (1280x720, green)
// and HEADLESS-2 (640x480, magenta, to its right; the portal backend reports (0, 0) for both, so
// they differ by size); setSmallOutput() gives HEADLESS-2 another size, scale and picture, and
// screenshot() shows what an output displays (grim); holdPointerAt() gives the desktop a pointer
// (wlroots' virtual pointer) and so a cursor. The portal backend's output chooser stands in
// for the person in the dialog:
// it grants the outputs that choose() named, in turn (HEADLESS-1 by default), after the delay that
// answerAfter() set, unless refuse(true) was called, in which case the person "declines" (response
// 1); dialogsShown() counts its runs. endCast() stands in for the desktop's "stop sharing" (see the
// shim).
//
// xdg-desktop-portal-wlr 0.7 waits for a dmabuf description that a GPU-less compositor never sends;
// the shim compiled beside the tests (REZORO_XDPW_SHIM) is preloaded into it to supply one, after
// which it negotiates shared-memory buffers.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/testing/display_and_sound.h"
#include "capture/testing/private_desktop.h"
#include "capture/testing/test_basics.h"
#include "common/json_line.h"

namespace rezoro::capture::testing {

class WaylandDesktop : public PrivateDesktop {
  struct Key {};

 public:
  static constexpr const char* kOutputName = "HEADLESS-1";
  static constexpr const char* kSmallOutputName = "HEADLESS-2";
  static constexpr int kWidth = 1280;
  static constexpr int kHeight = 720;
  static constexpr int kSmallWidth = 640, kSmallHeight = 480;
  // Where the scene window sits on the output, in pixels (= points: the output's scale is 1).
  static constexpr int kSceneX = 320, kSceneY = 180, kSceneWidth = 640, kSceneHeight = 360;

  explicit WaylandDesktop(Key) : PrivateDesktop("the Wayland desktop") {}
  ~WaylandDesktop() override {
    stopPermissionStore();
    // Members stop in reverse order of declaration: portal first, sway last.
  }

  // A sentence naming the first program the desktop needs that is not installed, or none.
  static std::optional<std::string> missingComponent() {
    for (const char* program : {"sway", "swaymsg", "swaybg", "foot", "dbus-daemon", "dbus-send", "pipewire",
                                "wireplumber", "pw-cli", "unshare", "grim"}) {
      if (commandOutput(std::string("command -v ") + program + " >/dev/null 2>&1 && echo yes") != "yes\n") {
        return std::string(program) + " is not installed (scripts/setup.sh installs it)";
      }
    }
    for (const char* daemon : {kPortal, kPortalBackend}) {
      if (!std::filesystem::exists(daemon)) return std::string(daemon) + " is not installed";
    }
    if (!std::filesystem::exists(REZORO_XDPW_SHIM)) return std::string("the portal shim was not built");
    if (!std::filesystem::exists(REZORO_WAYLAND_POINTER)) return std::string("the virtual pointer was not built");
    if (::geteuid() == 0 &&
        commandOutput("unshare --user --map-user=1000 --map-group=1000 true 2>/dev/null && echo yes") != "yes\n") {
      return std::string("user namespaces are not available, and sway refuses to run as root");
    }
    return std::nullopt;
  }

  static std::unique_ptr<WaylandDesktop> start() {
    auto desktop = std::make_unique<WaylandDesktop>(Key{});
    desktop->turn_ = waitForTurn();
    desktop->prepareFiles();
    desktop->startServices();
    return desktop;
  }

  // The variables a client of this desktop needs; its restore token goes under `stateHome`.
  Environment clientEnvironment(const std::filesystem::path& stateHome) const {
    return clientVariables(stateHome, waylandDisplay_);
  }

  enum class Scene { none, still, flashing, bursts };
  // Puts a window of `Scene` at kScene* over the green background: `still` is painted blue once,
  // `flashing` alternates red and blue every 30 ms, `bursts` is painted blue and then, for each
  // burst(), changes colour five times 15 ms apart. The previous scene window is closed.
  void showScene(Scene scene) {
    swaymsg({"[app_id=rezoro-scene] kill"});
    waitFor(std::chrono::seconds(5), [&] { return !hasSceneWindow(); }, "the scene window to close");
    if (scene == Scene::none) return;
    const char* kind = scene == Scene::flashing ? " flashing " : scene == Scene::bursts ? " bursts " : " still ";
    swaymsg({"exec foot --app-id=rezoro-scene " + (folder() / "bin" / "scene").string() + kind +
             (folder() / "wait").string()});
    waitFor(std::chrono::seconds(10), [&] { return hasSceneWindow(); }, "the scene window");
    // Its first pictures are drawn (a still one must be, before a recording starts: nothing changes later).
    std::this_thread::sleep_for(std::chrono::milliseconds(scene == Scene::still ? 1500 : 500));
  }
  void setBackground(const std::string& colour) { swaymsg({"output " + std::string(kOutputName) + " bg " + colour + " solid_color"}); }

  // Gives the small output `width` × `height` pixels at `scale` pixels per point, right of the large
  // one, showing `image` stretched over it (or its magenta); waits until the compositor applied it.
  void setSmallOutput(int width, int height, double scale, const std::optional<std::filesystem::path>& image) {
    std::ostringstream scaleText;
    scaleText << scale;  // "2", "1.5"
    swaymsg({"output " + std::string(kSmallOutputName) + " resolution " + std::to_string(width) + "x" +
             std::to_string(height) + " position " + std::to_string(kWidth) + " 0 scale " + scaleText.str() +
             (image ? " bg " + image->string() + " stretch" : " bg #ff00ff solid_color")});
    waitFor(std::chrono::seconds(5), [&] {
      const Json outputs = Json::parse(run({"swaymsg", "-t", "get_outputs", "-r"}), nullptr, false);
      if (!outputs.is_array()) return false;
      for (const Json& output : outputs) {
        if (output.value("name", "") == kSmallOutputName && output.contains("current_mode") &&
            output["current_mode"].value("width", 0) == width && output["current_mode"].value("height", 0) == height &&
            std::abs(output.value("scale", 0.0) - scale) < 1e-3) {
          return true;
        }
      }
      return false;
    }, "the small output's new mode");
    // Most often the background has been drawn again by then.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  void resetSmallOutput() { setSmallOutput(kSmallWidth, kSmallHeight, 1, std::nullopt); }

  // A screenshot of `output` in its own pixels (PNG, by grim): what the screen shows, the cursor
  // drawn in while there is one.
  void screenshot(const std::string& output, const std::filesystem::path& png) const {
    if (run({"grim", "-c", "-o", output, png.string()}).empty() && !std::filesystem::exists(png)) {
      throw std::runtime_error("grim took no screenshot of " + output);
    }
  }

  // Gives the desktop a pointer (it has no input device of its own), resting at (`x`, `y`) of the
  // output layout in points, where the compositor draws its cursor, until the returned process
  // is released.
  ChildProcess holdPointerAt(double x, double y) const {
    ChildProcess pointer = launch({REZORO_WAYLAND_POINTER}, "pointer");
    waitFor(std::chrono::seconds(5), [&] {
      return readWholeFile(folder() / "logs" / "pointer.log").find("ready") != std::string::npos;
    }, "virtual pointer");
    swaymsg({"seat seat0 cursor set " + std::to_string(x) + " " + std::to_string(y)});
    return pointer;
  }

  // The `bursts` scene's next burst: four colours, then `last` (RRGGBB), each 15 ms after the one before.
  void burst(const std::string& last) {
    std::ofstream(folder() / "wait") << last << std::endl;
  }

  // From now on the portal backend's chooser declines every request (or grants them again).
  void refuse(bool declined) {
    if (declined) std::ofstream(folder() / "refuse") << "1";
    else std::filesystem::remove(folder() / "refuse");
  }
  // The outputs the chooser grants, one per dialog; the last one stays.
  void choose(const std::vector<std::string>& outputs) {
    std::ofstream choices(folder() / "choices");
    for (const std::string& output : outputs) choices << output << "\n";
  }
  // The chooser answers this long after the dialog opens.
  void answerAfter(double seconds) { std::ofstream(folder() / "delay") << seconds; }
  int dialogsShown() const {
    const std::string log = readWholeFile(folder() / "dialogs");
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
  }
  // The desktop ends the newest screen cast, as its "stop sharing" control does; waits until the
  // portal backend has said so.
  void endCast() {
    std::ofstream(folder() / "end-cast") << "1";
    waitFor(std::chrono::seconds(5), [&] { return !std::filesystem::exists(folder() / "end-cast"); },
            "the portal backend to end the cast");
  }
  // Back to granting HEADLESS-1 at once.
  void resetChooser() {
    refuse(false);
    choose({kOutputName});
    std::filesystem::remove(folder() / "delay");
  }

  // Ends the portal backend now, as a crash would; startPortalBackend() brings up a new one.
  void stopPortalBackend() { portalBackend_.stop(std::chrono::milliseconds(500)); }
  void startPortalBackend() {
    portalBackend_ = launch({(folder() / "bin" / "xdpw").string(), "-l", "DEBUG"}, "xdpw");
    waitFor(std::chrono::seconds(10), [&] { return busHasName("org.freedesktop.impl.portal.desktop.wlr"); },
            "portal backend");
  }

  std::string portalBackendLog() const { return readWholeFile(folder() / "logs" / "xdpw.log"); }

 private:
  static constexpr const char* kPortal = "/usr/libexec/xdg-desktop-portal";
  static constexpr const char* kPortalBackend = "/usr/libexec/xdg-desktop-portal-wlr";

  void prepareFiles() {
    const auto& root = folder();
    prepareFolders();
    write(root / "cfg" / "sway.conf",
          "xwayland disable\n"
          "output " + std::string(kOutputName) + " resolution " + std::to_string(kWidth) + "x" +
              std::to_string(kHeight) + " position 0,0 bg #00ff00 solid_color\n"
          "output " + std::string(kSmallOutputName) + " resolution " + std::to_string(kSmallWidth) + "x" +
              std::to_string(kSmallHeight) + " position " + std::to_string(kWidth) + ",0 bg #ff00ff solid_color\n"
          "default_border none\n"
          "for_window [app_id=\"rezoro-scene\"] floating enable, resize set " + std::to_string(kSceneWidth) +
              " " + std::to_string(kSceneHeight) + ", move position " + std::to_string(kSceneX) + " " +
              std::to_string(kSceneY) + "\n");
    write(root / "cfg" / "xdg-desktop-portal-wlr" / "config",
          "[screencast]\nchooser_type=simple\nchooser_cmd=" + (root / "bin" / "chooser").string() +
              "\nmax_fps=30\n");
    const std::string at = root.string() + "/";
    write(root / "bin" / "chooser",
          "#!/bin/sh\necho >> '" + at + "dialogs'\n"
          "[ -s '" + at + "delay' ] && sleep \"$(cat '" + at + "delay')\"\n"
          "[ -e '" + at + "refuse' ] && exit 0\n"
          "head -n 1 '" + at + "choices'\n"
          "[ \"$(wc -l < '" + at + "choices')\" -gt 1 ] && sed -i 1d '" + at + "choices'\nexit 0\n",
          true);
    write(root / "choices", std::string(kOutputName) + "\n");
    write(root / "bin" / "xdpw",
          "#!/bin/sh\nXDPW_PERSIST_MODE=permanent REZORO_END_CAST_FILE='" + at + "end-cast' LD_PRELOAD='" +
              std::string(REZORO_XDPW_SHIM) + "' exec " + kPortalBackend + " \"$@\"\n",
          true);
    // The scene: a terminal whose whole window is one colour (its default background, set by OSC 11,
    // which repaints every cell); `flashing` changes it every 30 ms, more often than the 24 pictures
    // a second that are recorded, waiting on a FIFO that never speaks so that nothing is forked.
    write(root / "bin" / "scene",
          "#!/bin/bash\nprintf '\\033[?25l'\nexec 3<> \"$2\"\ni=0\n"
          "if [ \"$1\" = bursts ]; then\n"
          "  exec 4<> \"$2.idle\"\n"
          "  printf '\\033]11;#0000ff\\007'\n"
          "  while read -u 3 last; do\n"
          "    for c in 101010 303030 505050 707070 \"$last\"; do\n"
          "      printf '\\033]11;#%s\\007' \"$c\"; [ \"$c\" = \"$last\" ] || read -t 0.015 -u 4\n"
          "    done\n"
          "  done\n"
          "fi\n"
          "while :; do\n"
          "  if [ \"$1\" = flashing ] && [ $((i % 2)) = 0 ]; then c=ff0000; else c=0000ff; fi\n"
          "  printf '\\033]11;#%s\\007' \"$c\"\n"
          "  [ \"$1\" = flashing ] || { read -u 3; exit; }\n"
          "  i=$((i + 1)); read -t 0.03 -u 3\n"
          "done\n",
          true);
    if (::mkfifo((root / "wait").c_str(), 0600) != 0 || ::mkfifo((root / "wait.idle").c_str(), 0600) != 0) {
      throw std::runtime_error("cannot make the scene's FIFOs");
    }
    // D-Bus activation overrides (the private data folder comes before /usr/share): a portal
    // backend started on demand carries the shim too, and the document portal (a FUSE mount) is
    // not wanted.
    write(root / "data" / "dbus-1" / "services" / "org.freedesktop.impl.portal.desktop.wlr.service",
          "[D-BUS Service]\nName=org.freedesktop.impl.portal.desktop.wlr\nExec=" + (root / "bin" / "xdpw").string() + "\n");
    write(root / "data" / "dbus-1" / "services" / "org.freedesktop.portal.Documents.service",
          "[D-BUS Service]\nName=org.freedesktop.portal.Documents\nExec=/bin/false\n");
  }

  Environment serviceEnvironment() const override {
    const auto& root = folder();
    std::vector<std::pair<std::string, std::optional<std::string>>> environment = {
        {"HOME", root.string()},
        {"XDG_RUNTIME_DIR", runtime().string()},
        {"XDG_CONFIG_HOME", (root / "cfg").string()},
        {"XDG_DATA_HOME", (root / "data").string()},
        {"XDG_STATE_HOME", (root / "state").string()},
        {"XDG_CACHE_HOME", (root / "cache").string()},
        {"XDG_CURRENT_DESKTOP", "sway"},
        {"XDG_SESSION_TYPE", "wayland"},
        {"WLR_BACKENDS", "headless"},
        {"WLR_RENDERER", "pixman"},
        {"WLR_LIBINPUT_NO_DEVICES", "1"},
        {"WLR_HEADLESS_OUTPUTS", "2"},
        {"SWAYSOCK", (runtime() / "sway-ipc.sock").string()},
        {"DBUS_SESSION_BUS_ADDRESS", busAddress()},
        {"DISPLAY", std::nullopt},
        {"PULSE_SERVER", std::nullopt},
        {"PIPEWIRE_RUNTIME_DIR", std::nullopt},
        {"WAYLAND_DISPLAY", waylandDisplay_.empty() ? std::nullopt : std::optional(waylandDisplay_)}};
    return environment;
  }

  void swaymsg(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv = {"swaymsg"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    run(argv);
  }
  bool hasSceneWindow() const {
    return run({"swaymsg", "-t", "get_tree"}).find("\"rezoro-scene\"") != std::string::npos;
  }
  void startServices() {
    std::vector<std::string> sway = {"sway", "-c", (folder() / "cfg" / "sway.conf").string()};
    if (::geteuid() == 0) {
      // Mapped back to root outside, so the sockets it makes are still ours.
      sway.insert(sway.begin(), {"unshare", "--user", "--map-user=1000", "--map-group=1000"});
    }
    sway_ = launch(sway, "sway");
    waitFor(std::chrono::seconds(20), [&] {
      for (const auto& entry : std::filesystem::directory_iterator(runtime())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("wayland-", 0) == 0 && name.find(".lock") == std::string::npos) waylandDisplay_ = name;
      }
      return !waylandDisplay_.empty() &&
             run({"swaymsg", "-t", "get_outputs"}).find(kOutputName) != std::string::npos;
    }, "sway output");
    // After sway, so that services the bus starts know WAYLAND_DISPLAY.
    startSessionServices(bus_, pipewire_, wireplumber_);
    startPortalBackend();
    portal_ = launch({kPortal}, "xdp");
    waitFor(std::chrono::seconds(10), [&] { return busHasName("org.freedesktop.portal.Desktop"); }, "portal");
  }

  UniqueFd turn_;  // released after every process of the desktop has stopped
  std::string waylandDisplay_;
  ChildProcess sway_, bus_, pipewire_, wireplumber_, portalBackend_, portal_;
};

}  // namespace rezoro::capture::testing
