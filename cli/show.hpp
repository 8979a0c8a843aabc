// The show command: boxes, results and truth drawn on a frame or a whole video.
#ifndef VIZMORO_CLI_SHOW_HPP
#define VIZMORO_CLI_SHOW_HPP

#include <cstdio>

#include "arguments.hpp"

namespace vizmoro_cli {

// Runs show; messages go to `messages`. Returns the exit code.
int Show(const Arguments& arguments, std::FILE* messages);

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_SHOW_HPP
