#include "memory_loading.hpp"

#include <cerrno>
#include <cstring>

#include "arguments.hpp"

namespace vizmoro_cli {

bool IsFile(const std::string& path, struct stat& st) {
  return ::stat(path.c_str(), &st) == 0;
}

void LoadMemory(CvAssociativeMemory& memory, const std::string& path, bool& loaded) {
  struct stat st;
  loaded = false;
  if (!IsFile(path, st)) {
    if (errno == ENOENT) return;
    throw Failure{kExitInput, "cannot use the memory file " + path + ": " + std::strerror(errno)};
  }
  if (!S_ISREG(st.st_mode))
    throw Failure{kExitInput, "the memory file " + path + " is not a regular file"};
  try {
    errno = 0;
    if (!memory.LoadFromFile(path.c_str()))
      throw Failure{kExitInput,
                    "cannot load the memory file " + path + ": " +
                        (errno != 0 ? std::strerror(errno) : "not a memory file, or cut short")};
  } catch (const cv::Exception& e) {
    throw Failure{kExitInput, "the memory file " + path + " was refused: " + e.err};
  }
  loaded = true;
}

}  // namespace vizmoro_cli
