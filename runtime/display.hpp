// Whether the program can open windows. Qt aborts the process when it has no display to
// connect to, or no platform plugin of the name QT_QPA_PLATFORM gives, so the decision is made
// once, before any window call.
#ifndef VIZMORO_RUNTIME_DISPLAY_HPP
#define VIZMORO_RUNTIME_DISPLAY_HPP

#include <string>

namespace vizmoro {

// What the decision asks of the machine.
struct DisplayProbes {
  bool (*canConnectToX)(const char* display);
  // Whether a Qt platform plugin of this (lower-case) name is installed.
  bool (*hasQtPlatform)(const std::string& name);
  // Whether a Wayland compositor is listening.
  bool (*hasWayland)();
};

// The decision from the environment. QT_QPA_PLATFORM, when set, names the platforms Qt may use
// ("offscreen", "wayland;xcb", "vnc:size=800x600"): windows when one of them can be used here
// (for "xcb" an X server at DISPLAY, for Wayland a compositor, for any other an installed
// plugin); otherwise no windows, and `note` gets a line that says so. Unset, windows when DISPLAY
// names an X server that accepts a connection. Null or empty variables count as unset.
bool WindowsAvailable(const char* display, const char* qtPlatform, const DisplayProbes& probes,
                      std::string* note);

// The probes of this machine.
const DisplayProbes& MachineProbes();

// WindowsAvailable with this process's environment and machine.
bool WindowsAvailableHere(std::string* note);

}  // namespace vizmoro

#endif  // VIZMORO_RUNTIME_DISPLAY_HPP
