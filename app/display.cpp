#include "display.hpp"

#include <cstdlib>
#include <cstring>

#include <X11/Xlib.h>

namespace vizmoro {

namespace {

bool IsSet(const char* value) {
  return value && *value;
}

}  // namespace

bool WindowsAvailable(const char* display, const char* qtPlatform,
                      bool (*canConnect)(const char* display)) {
  // "xcb" (X through libxcb) is Qt's default on Linux; any other platform was chosen on
  // purpose and brings its own way of showing (or not showing) windows.
  if (IsSet(qtPlatform) && std::strncmp(qtPlatform, "xcb", 3) != 0) return true;
  return IsSet(display) && canConnect && canConnect(display);
}

bool CanConnectToX(const char* display) {
  ::Display* connection = XOpenDisplay(display);
  if (!connection) return false;
  XCloseDisplay(connection);
  return true;
}

bool WindowsAvailableHere() {
  return WindowsAvailable(std::getenv("DISPLAY"), std::getenv("QT_QPA_PLATFORM"), CanConnectToX);
}

}  // namespace vizmoro
