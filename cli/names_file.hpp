// The names file beside a memory file, as vizmoro-cli reads and writes it.
#ifndef VIZMORO_CLI_NAMES_FILE_HPP
#define VIZMORO_CLI_NAMES_FILE_HPP

#include "object_names.hpp"

namespace vizmoro_cli {

using vizmoro::Names;
using vizmoro::NamesPath;
using vizmoro::ObjectName;
using vizmoro::ReadNames;
using vizmoro::WriteNames;

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_NAMES_FILE_HPP
