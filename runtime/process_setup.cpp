#include "process_setup.hpp"

#include <cstdlib>

#include <opencv2/core/utils/logger.hpp>

namespace vizmoro {

volatile std::sig_atomic_t stopRequested = 0;

namespace {

void RequestStop(int) {
  stopRequested = 1;
}

}  // namespace

void InstallStopHandlers() {
  struct sigaction action = {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void QuietVideoLibrary() {
  if (std::getenv("OPENCV_LOG_LEVEL")) return;
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  ::setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);  // FFmpeg's AV_LOG_QUIET
  ::setenv("QT_LOGGING_RULES", "*=false", 0);
}

}  // namespace vizmoro
