#include "output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "arguments.hpp"
#include "memory_loading.hpp"

namespace vizmoro_cli {

Output::~Output() {
  if (fd_ >= 0) ::close(fd_);
}

std::string Output::Prepare(const std::string& path, bool keepExtension, const std::string& what) {
  struct stat st;
  if (IsFile(path, st) && S_ISDIR(st.st_mode))
    throw Failure{kExitOutput, "cannot write " + what + path + ": " + std::strerror(EISDIR)};
  if (vizmoro::WrittenInPlace(path)) return path;
  const int fd = replaced_.Create(path, keepExtension);
  if (fd < 0)
    throw Failure{kExitOutput, "cannot write " + what + path + ": " + std::strerror(errno)};
  fd_ = fd;
  return replaced_.temporary();
}

int Output::TakeDescriptor() {
  return std::exchange(fd_, -1);
}

}  // namespace vizmoro_cli
