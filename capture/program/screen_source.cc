#include "capture/program/screen_source.h"

#include <string_view>

namespace rezoro::capture {

ScreenSource chosenScreenSource(const std::function<const char*(const char*)>& environment) {
  auto variable = [&](const char* name) {
    const char* value = environment(name);
    return std::string_view(value ? value : "");
  };
  if (variable(kScreenSourceVariable) == "portal") return ScreenSource::portal;
  if (variable(kScreenSourceVariable) == "x11") return ScreenSource::x11;
  if (variable("XDG_SESSION_TYPE") == "wayland") return ScreenSource::portal;
  if (!variable("WAYLAND_DISPLAY").empty() && variable("DISPLAY").empty()) return ScreenSource::portal;
  return ScreenSource::x11;
}

}  // namespace rezoro::capture
