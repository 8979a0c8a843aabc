// What both programs set up for their process: stop requests from signals, and a quiet video
// library.
#ifndef VIZMORO_RUNTIME_PROCESS_SETUP_HPP
#define VIZMORO_RUNTIME_PROCESS_SETUP_HPP

#include <csignal>

namespace vizmoro {

// Nonzero once Ctrl+C, SIGTERM or SIGHUP (a closed terminal, a dropped connection) asked the
// run to end: it ends after the current frame, through the shutdown that saves the memory. The
// handler resets itself, so a second signal ends the process at once. SIGPIPE is ignored: a
// closed standard output shows as a failed write.
extern volatile std::sig_atomic_t stopRequested;
void InstallStopHandlers();

// The video library and its backends report every expected refusal, FFmpeg and Qt on standard
// error by themselves; they would drown the program's own lines. OPENCV_LOG_LEVEL, when set,
// lets all of them speak.
void QuietVideoLibrary();

}  // namespace vizmoro

#endif  // VIZMORO_RUNTIME_PROCESS_SETUP_HPP
