#include "display.hpp"

#include <string>

#include <gtest/gtest.h>

namespace {

bool Reachable(const char*) {
  return true;
}
bool Unreachable(const char*) {
  return false;
}
// Installed here: the plugins Debian's Qt brings, and no Wayland.
bool DebianPlugins(const std::string& name) {
  for (const char* installed : {"xcb", "offscreen", "minimal", "vnc", "eglfs", "linuxfb"})
    if (name == installed) return true;
  return false;
}
bool WithWaylandPlugin(const std::string& name) {
  return DebianPlugins(name) || name == "wayland";
}
bool NoCompositor() {
  return false;
}
bool Compositor() {
  return true;
}

TEST(DisplayTest, WindowsOnlyWhereQtCanShowThem) {
  const vizmoro::DisplayProbes reachable{Reachable, DebianPlugins, NoCompositor};
  const vizmoro::DisplayProbes unreachable{Unreachable, DebianPlugins, NoCompositor};
  const vizmoro::DisplayProbes wayland{Unreachable, WithWaylandPlugin, Compositor};
  const vizmoro::DisplayProbes waylandPluginOnly{Unreachable, WithWaylandPlugin, NoCompositor};
  struct Case {
    const char* display;
    const char* platform;
    const vizmoro::DisplayProbes& probes;
    bool windows;
    bool note;  // a line says why there are no windows
  } cases[] = {
      {nullptr, nullptr, reachable, false, false},
      {"", "", reachable, false, false},
      {":0", nullptr, reachable, true, false},
      {":0", nullptr, unreachable, false, false},
      {nullptr, "offscreen", reachable, true, false},
      {"", "minimal", unreachable, true, false},
      {"", "vnc:size=800x600", unreachable, true, false},
      {"", "Offscreen", unreachable, true, false},
      {nullptr, "xcb", reachable, false, true},
      {":1", "xcb", reachable, true, false},
      {":1", "xcb", unreachable, false, true},
      // A platform whose plugin is missing, or a typo: Qt would abort.
      {":1", "wayland", reachable, false, true},
      {":1", "ofscreen", reachable, false, true},
      {":1", "wayland", wayland, true, false},
      {":1", "wayland", waylandPluginOnly, false, true},
      // A list: the first that can be used.
      {":1", "wayland;xcb", reachable, true, false},
      {":1", "wayland;xcb", unreachable, false, true},
  };
  for (const Case& c : cases) {
    std::string note;
    EXPECT_EQ(vizmoro::WindowsAvailable(c.display, c.platform, c.probes, &note), c.windows)
        << (c.display ? c.display : "(unset)") << " " << (c.platform ? c.platform : "(unset)");
    EXPECT_EQ(note.empty(), !c.note) << note;
    if (c.note) {
      EXPECT_EQ(note, std::string("QT_QPA_PLATFORM=") + c.platform +
                          " names no Qt platform that can show windows here: running without "
                          "windows.");
    }
  }
}

}  // namespace
