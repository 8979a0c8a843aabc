// Whether the program can open windows. Qt aborts the process when it has no display to
// connect to, so the decision is made once, before any window call.
#ifndef VIZMORO_APP_DISPLAY_HPP
#define VIZMORO_APP_DISPLAY_HPP

namespace vizmoro {

// The decision from the environment: windows when QT_QPA_PLATFORM names a platform other
// than X ("offscreen", "minimal", "wayland", ...), or when DISPLAY names an X server that
// `canConnect` reaches. Null or empty variables count as unset.
bool WindowsAvailable(const char* display, const char* qtPlatform,
                      bool (*canConnect)(const char* display));

// Opens and closes a connection to the X server `display`.
bool CanConnectToX(const char* display);

// WindowsAvailable with this process's environment.
bool WindowsAvailableHere();

}  // namespace vizmoro

#endif  // VIZMORO_APP_DISPLAY_HPP
