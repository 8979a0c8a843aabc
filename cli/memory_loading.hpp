// Reading a memory file for the commands, and the failures that end a command.
#ifndef VIZMORO_CLI_MEMORY_LOADING_HPP
#define VIZMORO_CLI_MEMORY_LOADING_HPP

#include <sys/stat.h>

#include <string>

#include <vizmoro/associative_memory.hpp>

namespace vizmoro_cli {

// A failure that ends the command with an exit code and a message.
struct Failure {
  int code;
  std::string message;
};

// Whether `path` names something; `st` then says what.
bool IsFile(const std::string& path, struct stat& st);

// Loads the memory file into `memory` and sets `loaded`, or leaves `memory` not created when
// there is none. Throws Failure (kExitInput) for a file that cannot be used.
void LoadMemory(CvAssociativeMemory& memory, const std::string& path, bool& loaded);

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_MEMORY_LOADING_HPP
