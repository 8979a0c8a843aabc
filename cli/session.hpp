// The commands that play a video through the memory: teach, track and run.
#ifndef VIZMORO_CLI_SESSION_HPP
#define VIZMORO_CLI_SESSION_HPP

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include <opencv2/core.hpp>

#include "arguments.hpp"

namespace vizmoro_cli {

// Runs teach, track or run. Results go to `results` unless --results names a file; messages,
// the progress line and the summary go to `messages`. Returns the exit code.
int RunSession(const Arguments& arguments, std::FILE* results, std::FILE* messages);

// Each box of a tracked frame (frames counted from 1) as it goes to the results.
using ReportSink =
    std::function<void(int frame, int32_t id, const cv::Rect& box, double confidence)>;

// The same run for a caller that keeps its process as it is: no stop handlers are installed
// (vizmoro::stopRequested still ends the run) and the video library logs as it was set. Boxes
// also go to `report` where it is set; `reason`, where given, gets the message behind a nonzero
// exit code.
int PlaySession(const Arguments& arguments, std::FILE* results, std::FILE* messages,
                const ReportSink& report, std::string* reason);

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_SESSION_HPP
