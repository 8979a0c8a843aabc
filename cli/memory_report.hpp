// The inspect command: what a memory file holds.
#ifndef VIZMORO_CLI_MEMORY_REPORT_HPP
#define VIZMORO_CLI_MEMORY_REPORT_HPP

#include <cstdio>

#include "arguments.hpp"

namespace vizmoro_cli {

// Prints what a memory file holds to `out`, as text or (--json) as JSON. Returns the exit code.
int Inspect(const Arguments& arguments, std::FILE* out, std::FILE* messages);

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_MEMORY_REPORT_HPP
