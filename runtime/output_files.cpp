#include "output_files.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vizmoro {

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string ResolvedPath(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit
    char target[PATH_MAX];
    const ssize_t length = ::readlink(current.c_str(), target, sizeof target);
    if (length <= 0 || length == static_cast<ssize_t>(sizeof target)) break;
    const std::string link(target, static_cast<size_t>(length));
    current = link[0] == '/' ? link : FolderOf(current) + "/" + link;
  }
  char* folder = ::realpath(FolderOf(current).c_str(), nullptr);
  if (!folder) return current;
  std::string resolved = folder;
  std::free(folder);
  return (resolved == "/" ? "" : resolved) + "/" + NameOf(current);
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  struct stat sa, sb;
  const bool aExists = ::stat(a.c_str(), &sa) == 0, bExists = ::stat(b.c_str(), &sb) == 0;
  if (aExists && bExists)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && !S_ISCHR(sa.st_mode);
  return !aExists && !bExists && ResolvedPath(a) == ResolvedPath(b);
}

bool WrittenInPlace(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

int ReplacedFile::Create(const std::string& path, bool keepExtension) {
  Discard();
  struct stat link;
  target_ = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) ? ResolvedPath(path) : path;
  std::string stem = target_, extension;
  const size_t dot = target_.find_last_of('.');
  if (keepExtension && dot != std::string::npos && dot > target_.find_last_of('/') + 1) {
    stem = target_.substr(0, dot);
    extension = target_.substr(dot);
  }
  temporary_ = stem + ".tmp" + std::to_string(::getpid()) + extension;
  const int fd = ::open(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) temporary_.clear();
  return fd;
}

bool ReplacedFile::Commit() {
  if (temporary_.empty()) {
    errno = ENOENT;
    return false;
  }
  const int fd = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = fd >= 0;
  if (ok) {
    struct stat previous;
    if (::stat(target_.c_str(), &previous) == 0 && S_ISREG(previous.st_mode)) {
      if (::geteuid() == 0) (void)::fchown(fd, previous.st_uid, previous.st_gid);
      (void)::fchmod(fd, previous.st_mode & 07777);  // after fchown, which clears set-id bits
    }
    ok = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  ok = ok && ::rename(temporary_.c_str(), target_.c_str()) == 0;
  if (ok)
    temporary_.clear();
  else
    Discard();
  return ok;
}

void ReplacedFile::Discard() {
  if (temporary_.empty()) return;
  const int error = errno;
  ::unlink(temporary_.c_str());
  errno = error;
  temporary_.clear();
}

}  // namespace vizmoro
