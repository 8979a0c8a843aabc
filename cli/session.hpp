// The commands that play a video through the memory: teach, track and run.
#ifndef VIZMORO_CLI_SESSION_HPP
#define VIZMORO_CLI_SESSION_HPP

#include <cstdio>

#include "arguments.hpp"

namespace vizmoro_cli {

// Runs teach, track or run. Results go to `results` unless --results names a file; messages,
// the progress line and the summary go to `messages`. Returns the exit code.
int RunSession(const Arguments& arguments, std::FILE* results, std::FILE* messages);

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_SESSION_HPP
