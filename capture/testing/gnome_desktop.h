#pragma once

// A private headless GNOME desktop with the ScreenCast portal, for integration tests of the capture
// program on mutter: mutter 43 headless (one virtual monitor of 1600x1200 pixels, connector Meta-0,
// no gnome-shell), a session D-Bus on a socket of its own, PipeWire and WirePlumber,
// xdg-desktop-portal-gnome and xdg-desktop-portal; each waited for, every file in a private
// temporary folder, every process stopped by PID. The monitor's scale comes from a monitors.xml
// in the private configuration folder; fractional scaling is mutter's experimental feature
// `scale-monitor-framebuffer` in a keyfile settings backend.
//
// The portal's dialog is answered through mutter's own RemoteDesktop API (answerDialogs(): pointer
// clicks on the first monitor row and on Share, in the monitor's points, over and over until the
// portal answers a Start, which a monitor of the session bus sees; a click where there is no dialog
// lands on the empty background). Between the clicks and from the answer on, the pointer rests at
// a point the test chooses, so a recording shows the cursor there throughout.
// screenshot() takes one picture of the monitor with the cursor drawn in through mutter's
// ScreenCast API (GStreamer's pipewiresrc), the witness of what the screen showed. showMarker()
// opens a window of one colour.

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
#include "capture/testing/test_basics.h"
#include "capture/testing/private_desktop.h"

namespace rezoro::capture::testing {

class GnomeDesktop : public PrivateDesktop {
  struct Key {};

 public:
  static constexpr int kWidth = 1600, kHeight = 1200;

  explicit GnomeDesktop(Key) : PrivateDesktop("the GNOME desktop") {}
  ~GnomeDesktop() override { stopPermissionStore(); }

  static std::optional<std::string> missingComponent() {
    for (const char* program : {"mutter", "foot", "dbus-daemon", "dbus-send", "pipewire", "wireplumber", "pw-cli",
                                "gst-launch-1.0"}) {
      if (commandOutput(std::string("command -v ") + program + " >/dev/null 2>&1 && echo yes") != "yes\n") {
        return std::string(program) + " is not installed (scripts/setup.sh installs it)";
      }
    }
    for (const char* daemon : {kPortal, kPortalBackend}) {
      if (!std::filesystem::exists(daemon)) return std::string(daemon) + " is not installed";
    }
    if (commandOutput("/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null && echo yes") != "yes\n") {
      return std::string("python3-dbus is not installed (scripts/setup.sh installs it)");
    }
    if (commandOutput("gst-inspect-1.0 pipewiresrc >/dev/null 2>&1 && echo yes") != "yes\n") {
      return std::string("gstreamer1.0-pipewire is not installed (scripts/setup.sh installs it)");
    }
    return std::nullopt;
  }

  // The monitor at `scale` (mutter's own figure: 1.4981273412704468 is its nearest to 1.5 for this
  // mode), with fractional scaling on or off.
  static std::unique_ptr<GnomeDesktop> start(double scale, bool fractional) {
    auto desktop = std::make_unique<GnomeDesktop>(Key{});
    desktop->turn_ = waitForTurn();
    desktop->scale_ = scale;
    desktop->prepareFiles(scale, fractional);
    desktop->startServices();
    return desktop;
  }

  Environment clientEnvironment(const std::filesystem::path& stateHome) const {
    return clientVariables(stateHome, kDisplayName);
  }

  // A window of `colour` (RRGGBB) where mutter places it.
  void showMarker(const std::string& colour) {
    marker_ = launch({"foot", "--app-id=rezoro-marker", "-W", "30x8", (folder() / "bin" / "marker").string(), colour},
                     "foot");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  }

  // Answers the dialogs until the portal grants a screen cast, the pointer resting at (`restX`,
  // `restY`) in the monitor's points after each answer and from the grant on; the pointer stays
  // there until the returned helper is released.
  ChildProcess answerDialogs(double restX, double restY) const {
    return launch({"/usr/bin/python3", (folder() / "bin" / "desk.py").string(), "grant", scaleText(),
                   std::to_string(restX), std::to_string(restY)},
                  "grant");
  }

  // One picture of the monitor as it is shown, the cursor drawn in, in its pixels (PNG).
  void screenshot(const std::filesystem::path& png) const {
    run({"/usr/bin/python3", (folder() / "bin" / "desk.py").string(), "shot", scaleText(), png.string()}, 20);
    if (!std::filesystem::exists(png) || std::filesystem::file_size(png) == 0) {
      throw std::runtime_error("no screenshot of the GNOME desktop: " + readWholeFile(folder() / "logs" / "command.out"));
    }
  }

 private:
  static constexpr const char* kPortal = "/usr/libexec/xdg-desktop-portal";
  static constexpr const char* kPortalBackend = "/usr/libexec/xdg-desktop-portal-gnome";
  static constexpr const char* kDisplayName = "rezoro-gnome";

  std::string scaleText() const {
    std::ostringstream text;
    text.precision(17);
    text << scale_;
    return text.str();
  }

  void prepareFiles(double scale, bool fractional) {
    const auto& root = folder();
    prepareFolders();
    std::ostringstream scaleText;
    scaleText.precision(17);
    scaleText << scale;
    write(root / "cfg" / "monitors.xml",
          "<monitors version=\"2\"><configuration><logicalmonitor><x>0</x><y>0</y><scale>" + scaleText.str() +
              "</scale><primary>yes</primary><monitor><monitorspec><connector>Meta-0</connector>"
              "<vendor>MetaVendor</vendor><product>MetaVirtualMonitor</product><serial>0x00</serial>"
              "</monitorspec><mode><width>" + std::to_string(kWidth) + "</width><height>" +
              std::to_string(kHeight) + "</height><rate>60</rate></mode></monitor></logicalmonitor>"
              "</configuration></monitors>\n");
    if (fractional) {
      write(root / "cfg" / "glib-2.0" / "settings" / "keyfile",
            "[org/gnome/mutter]\nexperimental-features=['scale-monitor-framebuffer']\n");
    }
    write(root / "bin" / "xdpg", "#!/bin/sh\nexec " + std::string(kPortalBackend) + " \"$@\"\n", true);
    for (const char* name : {"org.freedesktop.portal.Documents", "org.freedesktop.impl.portal.desktop.gtk",
                             "org.a11y.Bus"}) {
      write(root / "data" / "dbus-1" / "services" / (std::string(name) + ".service"),
            "[D-BUS Service]\nName=" + std::string(name) + "\nExec=/bin/false\n");
    }
    write(root / "data" / "dbus-1" / "services" / "org.freedesktop.impl.portal.desktop.gnome.service",
          "[D-BUS Service]\nName=org.freedesktop.impl.portal.desktop.gnome\nExec=" + (root / "bin" / "xdpg").string() + "\n");
    // A terminal whose whole window is one colour, set by OSC 11, that then waits for ever.
    write(root / "bin" / "marker", "#!/bin/bash\nprintf '\\033[?25l\\033]11;#%s\\007' \"$1\"\nexec sleep infinity\n", true);
    // mutter's RemoteDesktop session with a ScreenCast stream of the monitor (the cursor drawn in),
    // for pointer clicks and one picture. The dialog of xdg-desktop-portal-gnome 43 is a box centred
    // on the monitor; its first monitor row and its Share button lie at these offsets from the
    // centre, in points. The portal's answer to a Start (a Request's Response carrying streams) is
    // seen through a second connection that monitors the bus.
    write(root / "bin" / "desk.py", R"(import os, subprocess, sys, time
import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib
DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
command, scale = sys.argv[1], float(sys.argv[2])
W, H = )" + std::to_string(kWidth) + ", " + std::to_string(kHeight) + R"(
RD, SC = "org.gnome.Mutter.RemoteDesktop", "org.gnome.Mutter.ScreenCast"
remote = dbus.Interface(bus.get_object(RD, "/org/gnome/Mutter/RemoteDesktop"), RD)
session_object = bus.get_object(RD, remote.CreateSession())
session = dbus.Interface(session_object, RD + ".Session")
session_id = session_object.Get(RD + ".Session", "SessionId", dbus_interface="org.freedesktop.DBus.Properties")
cast = dbus.Interface(bus.get_object(SC, "/org/gnome/Mutter/ScreenCast"), SC)
cast_session = dbus.Interface(bus.get_object(SC, cast.CreateSession(
    dbus.Dictionary({"remote-desktop-session-id": session_id}, signature="sv"))), SC + ".Session")
stream = cast_session.RecordMonitor("Meta-0", dbus.Dictionary({"cursor-mode": dbus.UInt32(1)}, signature="sv"))
node, loop = [None], GLib.MainLoop()
def added(number):
    node[0] = int(number)
    loop.quit()
bus.add_signal_receiver(added, "PipeWireStreamAdded", SC + ".Stream", None, stream)
session.Start()
GLib.timeout_add_seconds(10, loop.quit)
loop.run()
if node[0] is None:
    sys.exit("no stream")
def pause(seconds):
    end, context = time.time() + seconds, GLib.MainContext.default()
    while time.time() < end:
        if not context.iteration(False):
            time.sleep(0.01)
def move(x, y):  # in points; the pointer moves in the monitor's pixels, whatever the stream's reported size
    session.NotifyPointerMotionAbsolute(stream, x * scale, y * scale)
def click(dx, dy):
    move(W / scale / 2 + dx, H / scale / 2 + dy)
    pause(0.1)
    session.NotifyPointerButton(0x110, True)
    pause(0.05)
    session.NotifyPointerButton(0x110, False)
if command == "grant":
    rest, granted = (float(sys.argv[3]), float(sys.argv[4])), [False]
    def seen(connection, message):
        if message.get_member() == "Response":
            code, results = message.get_args_list()[:2]
            if code == 0 and "streams" in results:
                granted[0] = True
    monitor = dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"])
    monitor.add_message_filter(seen)
    monitor.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Monitoring",
                          "BecomeMonitor", "asu",
                          (["type='signal',interface='org.freedesktop.portal.Request',member='Response'"], 0))
    move(*rest)
    while not granted[0]:
        click(0, 25)
        move(*rest)
        pause(0.3)
        if granted[0]:
            break
        click(212, -128)
        move(*rest)
        pause(1.0)
    print("granted", flush=True)
    pause(3600)
elif command == "shot":
    subprocess.run(["timeout", "15", "gst-launch-1.0", "-q", "pipewiresrc", "path=%d" % node[0], "num-buffers=1", "!",
                    "videoconvert", "!", "pngenc", "snapshot=true", "!", "filesink", "location=" + sys.argv[3]])
session.Stop()
)");
  }

  Environment serviceEnvironment() const override {
    const auto& root = folder();
    return {{"HOME", root.string()},
            {"XDG_RUNTIME_DIR", runtime().string()},
            {"XDG_CONFIG_HOME", (root / "cfg").string()},
            {"XDG_DATA_HOME", (root / "data").string()},
            {"XDG_STATE_HOME", (root / "state").string()},
            {"XDG_CACHE_HOME", (root / "cache").string()},
            {"XDG_CURRENT_DESKTOP", "GNOME"},
            {"XDG_SESSION_TYPE", "wayland"},
            {"WAYLAND_DISPLAY", kDisplayName},
            {"DBUS_SESSION_BUS_ADDRESS", busAddress()},
            {"GSETTINGS_BACKEND", "keyfile"},
            {"NO_AT_BRIDGE", "1"},
            {"GTK_A11Y", "none"},
            {"DISPLAY", std::nullopt},
            {"PULSE_SERVER", std::nullopt},
            {"PIPEWIRE_RUNTIME_DIR", std::nullopt}};
  }

  void startServices() {
    startSessionServices(bus_, pipewire_, wireplumber_);
    mutter_ = launch({"mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor",
                      std::to_string(kWidth) + "x" + std::to_string(kHeight), "--wayland-display", kDisplayName},
                     "mutter");
    waitFor(std::chrono::seconds(30), [&] { return busHasName("org.gnome.Mutter.RemoteDesktop"); }, "mutter");
    backend_ = launch({(folder() / "bin" / "xdpg").string()}, "xdpg");
    waitFor(std::chrono::seconds(15), [&] {
      return run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.impl.portal.desktop.gnome",
                  "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Introspectable.Introspect"})
                 .find("org.freedesktop.impl.portal.ScreenCast") != std::string::npos;
    }, "GNOME portal backend");
    portal_ = launch({kPortal}, "xdp");
    waitFor(std::chrono::seconds(10), [&] { return busHasName("org.freedesktop.portal.Desktop"); }, "portal");
  }

  UniqueFd turn_;  // released after every process of the desktop has stopped
  double scale_ = 1;
  ChildProcess bus_, pipewire_, wireplumber_, mutter_, backend_, portal_, marker_;
};

}  // namespace rezoro::capture::testing
