#include "display.hpp"

#include <dlfcn.h>
#include <link.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <vector>

// Declarations only: the library is loaded when the probe runs.
#include <X11/Xlib.h>

namespace vizmoro {

namespace {

namespace fs = std::filesystem;

bool IsSet(const char* value) {
  return value && *value;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
  return parts;
}

// The X client library is looked up when the probe runs rather than linked: the window library
// loads it where there are windows to show, and a program without it simply has none. It stays
// loaded for the window library to use.
bool CanConnectToX(const char* display) {
  void* xlib = ::dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
  if (!xlib) return false;
  const auto openDisplay = reinterpret_cast<decltype(&XOpenDisplay)>(::dlsym(xlib, "XOpenDisplay"));
  const auto closeDisplay =
      reinterpret_cast<decltype(&XCloseDisplay)>(::dlsym(xlib, "XCloseDisplay"));
  if (!openDisplay || !closeDisplay) return false;
  ::Display* connection = openDisplay(display);
  if (!connection) return false;
  closeDisplay(connection);
  return true;
}

// The folder of the loaded Qt core library: Qt's own plugins lie below it.
int FindQtCore(struct dl_phdr_info* info, size_t, void* folder) {
  const char* name = info->dlpi_name;
  if (name && (std::strstr(name, "/libQt5Core.so") || std::strstr(name, "/libQt6Core.so"))) {
    *static_cast<fs::path*>(folder) = fs::path(name).parent_path();
    return 1;
  }
  return 0;
}

// Where Qt looks for platform plugins.
std::vector<fs::path> QtPlatformFolders() {
  std::vector<fs::path> folders;
  if (const char* path = std::getenv("QT_QPA_PLATFORM_PLUGIN_PATH")) folders.emplace_back(path);
  if (const char* path = std::getenv("QT_PLUGIN_PATH"))
    for (const std::string& folder : Split(path, ':'))
      folders.push_back(fs::path(folder) / "platforms");
  fs::path core;
  dl_iterate_phdr(FindQtCore, &core);
  if (!core.empty()) {
    folders.push_back(core / "qt5" / "plugins" / "platforms");
    folders.push_back(core / "qt6" / "plugins" / "platforms");
  }
  std::error_code ec;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) folders.push_back(program.parent_path() / "platforms");
  return folders;
}

bool HasQtPlatform(const std::string& name) {
  // Plugins are named after their platform; the generic Wayland one answers to "wayland".
  std::vector<std::string> files{"libq" + name + ".so"};
  if (name == "wayland") files.push_back("libqwayland-generic.so");
  std::error_code ec;
  for (const fs::path& folder : QtPlatformFolders())
    for (const std::string& file : files)
      if (fs::exists(folder / file, ec)) return true;
  return false;
}

bool HasWayland() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const char* display = std::getenv("WAYLAND_DISPLAY");
  std::string socketPath = IsSet(display) ? display : "wayland-0";
  if (socketPath[0] != '/') {
    if (!IsSet(runtime)) return false;
    socketPath = std::string(runtime) + "/" + socketPath;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) return false;
  std::strcpy(address.sun_path, socketPath.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

}  // namespace

bool WindowsAvailable(const char* display, const char* qtPlatform, const DisplayProbes& probes,
                      std::string* note) {
  if (!IsSet(qtPlatform)) return IsSet(display) && probes.canConnectToX(display);
  for (const std::string& entry : Split(qtPlatform, ';')) {
    std::string name = entry.substr(0, entry.find(':'));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name.empty()) continue;
    if (name == "xcb") {
      if (IsSet(display) && probes.canConnectToX(display) && probes.hasQtPlatform(name))
        return true;
    } else if (name.rfind("wayland", 0) == 0) {
      if (probes.hasQtPlatform(name) && probes.hasWayland()) return true;
    } else if (probes.hasQtPlatform(name)) {
      return true;
    }
  }
  if (note)
    *note = std::string("QT_QPA_PLATFORM=") + qtPlatform +
            " names no Qt platform that can show windows here: running without windows.";
  return false;
}

const DisplayProbes& MachineProbes() {
  static const DisplayProbes probes{CanConnectToX, HasQtPlatform, HasWayland};
  return probes;
}

bool WindowsAvailableHere(std::string* note) {
  return WindowsAvailable(std::getenv("DISPLAY"), std::getenv("QT_QPA_PLATFORM"), MachineProbes(),
                          note);
}

}  // namespace vizmoro
