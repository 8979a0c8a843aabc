// The memory file on disk: atomic replacement, the lock a run holds on it, and the check that it
// can be replaced.
#include "vizmoro/memory_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "file_io.hpp"
#include "packed_data.hpp"

namespace vizmoro::detail::packed_file {
WriteFunction writeFunction = ::write;
SyncFunction syncFunction = ::fsync;
}  // namespace vizmoro::detail::packed_file

namespace {

// errno as it was, after clean-up calls that may change it.
class KeepErrno {
 public:
  KeepErrno() : saved_(errno) {}
  ~KeepErrno() { errno = saved_; }
  KeepErrno(const KeepErrno&) = delete;
  KeepErrno& operator=(const KeepErrno&) = delete;

 private:
  int saved_;
};

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

constexpr char kTemporaryTag[] = ".tmp";

// Creates a temporary sibling of `target`, "<target>.tmp<pid>-<n>", exclusively, with the
// permissions a new file gets. Returns the descriptor, or -1 with errno set.
int CreateTemporary(const std::string& target, std::string& name) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = target + kTemporaryTag + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The process that made a temporary file, from its name; 0 when the name is not of that form.
pid_t MakerOf(const char* name, const std::string& prefix) {
  if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) return 0;
  const char* rest = name + prefix.size();
  char* end = nullptr;
  errno = 0;
  const long pid = std::strtol(rest, &end, 10);
  if (end == rest || *end != '-' || errno != 0 || pid <= 0) return 0;
  const char* counter = end + 1;
  std::strtoul(counter, &end, 10);
  if (end == counter || *end != '\0') return 0;
  return static_cast<pid_t>(pid);
}

// Removes the temporary files that saves of `target` left behind when their process was killed
// before it could clean up.
void RemoveStaleTemporaries(const std::string& target) {
  KeepErrno keep;
  DIR* folder = ::opendir(FolderOf(target).c_str());
  if (!folder) return;
  const std::string prefix = NameOf(target) + kTemporaryTag;
  while (const dirent* entry = ::readdir(folder)) {
    const pid_t maker = MakerOf(entry->d_name, prefix);
    if (maker == 0 || maker == ::getpid()) continue;
    if (::kill(maker, 0) == -1 && errno == ESRCH) ::unlinkat(::dirfd(folder), entry->d_name, 0);
  }
  ::closedir(folder);
}

// Gives the new file the owner, group and mode of the file it replaces. Only root may give it
// another owner; a file new to a folder that root writes into goes to the folder's owner, so
// that the user whose folder it is can keep using it.
void KeepOwnership(int fd, const std::string& target) {
  struct stat previous;
  if (::stat(target.c_str(), &previous) == 0 && S_ISREG(previous.st_mode)) {
    if (previous.st_uid != ::geteuid() || previous.st_gid != ::getegid()) {
      if (::fchown(fd, previous.st_uid, previous.st_gid) != 0)
        (void)::fchown(fd, static_cast<uid_t>(-1), previous.st_gid);  // the group, if allowed
    }
    ::fchmod(fd, previous.st_mode & 07777);  // after fchown, which may clear set-id bits
    return;
  }
  struct stat folder;
  if (::geteuid() == 0 && ::stat(FolderOf(target).c_str(), &folder) == 0 && folder.st_uid != 0)
    (void)::fchown(fd, folder.st_uid, folder.st_gid);
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t written = vizmoro::detail::packed_file::writeFunction(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written == 0) errno = ENOSPC;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

void SyncFolderOf(const std::string& path) {
  KeepErrno keep;
  const int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // best effort: the rename itself has already happened
  ::close(fd);
}

std::string SystemError(int error) {
  return std::strerror(error);
}

}  // namespace

namespace vizmoro::detail::file_io {

std::string ReplacedPath(const std::string& path) {
  struct stat link;
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      std::string target = resolved;
      std::free(resolved);
      return target;
    }
  }
  return path;
}

bool ReplaceFile(const char* path, const uint8_t* data, size_t size) {
  const std::string target = ReplacedPath(path);
  struct stat existing;
  if (::stat(target.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
    errno = EISDIR;
    return false;
  }
  RemoveStaleTemporaries(target);
  std::string temporary;
  const int fd = CreateTemporary(target, temporary);
  if (fd < 0) return false;
  KeepOwnership(fd, target);
  bool ok = WriteAll(fd, data, size) && vizmoro::detail::packed_file::syncFunction(fd) == 0;
  if (::close(fd) != 0 && ok) ok = false;
  ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) {
    KeepErrno keep;
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolderOf(target);
  return true;
}

std::FILE* OpenRegularFile(const char* path) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  int refusal = 0;
  if (::fstat(fd, &st) != 0)
    refusal = errno;
  else if (S_ISDIR(st.st_mode))
    refusal = EISDIR;
  else if (!S_ISREG(st.st_mode))
    refusal = EINVAL;
  else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
    refusal = errno;
  std::FILE* file = refusal == 0 ? ::fdopen(fd, "rb") : nullptr;
  if (!file) {
    if (refusal == 0) refusal = errno;
    ::close(fd);
    errno = refusal;
  }
  return file;
}

}  // namespace vizmoro::detail::file_io

namespace vizmoro {

MemoryFileLock::~MemoryFileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

MemoryFileLock::MemoryFileLock(MemoryFileLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

MemoryFileLock& MemoryFileLock::operator=(MemoryFileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

MemoryFileLock MemoryFileLock::Acquire(const std::string& memoryFile, std::string* reason) {
  MemoryFileLock lock;
  lock.path_ = detail::file_io::ReplacedPath(memoryFile) + ".lock";
  int fd = ::open(lock.path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0 && (errno == EACCES || errno == EROFS))
    fd = ::open(lock.path_.c_str(), O_RDONLY | O_CLOEXEC);  // a lock needs no write access
  if (fd < 0) {
    if (reason) *reason = "cannot open its lock file " + lock.path_ + ": " + SystemError(errno);
    return lock;
  }
  struct stat own, folder;
  if (::geteuid() == 0 && ::fstat(fd, &own) == 0 && own.st_uid == 0 &&
      ::stat(FolderOf(lock.path_).c_str(), &folder) == 0 && folder.st_uid != 0)
    (void)::fchown(fd, folder.st_uid, folder.st_gid);  // as a memory file root saves there
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (reason)
      *reason = errno == EWOULDBLOCK ? "another run holds its lock " + lock.path_
                                     : "cannot lock " + lock.path_ + ": " + SystemError(errno);
    ::close(fd);
    return lock;
  }
  lock.fd_ = fd;
  return lock;
}

bool CanReplaceMemoryFile(const std::string& memoryFile, std::string* reason) {
  auto refuse = [&](const std::string& why) {
    if (reason) *reason = why;
    return false;
  };
  const std::string target = detail::file_io::ReplacedPath(memoryFile);
  const std::string folder = FolderOf(target);
  struct stat existing, folderStat;
  if (::stat(target.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) return refuse(target + " is a folder");
    // In a folder with the sticky bit (like /tmp) only the file's owner may replace it.
    const uid_t user = ::geteuid();
    if (::stat(folder.c_str(), &folderStat) == 0 && (folderStat.st_mode & S_ISVTX) && user != 0 &&
        user != existing.st_uid && user != folderStat.st_uid)
      return refuse(target +
                    " belongs to another user in a folder where only owners may "
                    "replace files: " +
                    SystemError(EPERM));
  }
  std::string first, second;
  const int fd = CreateTemporary(target, first);
  if (fd < 0) return refuse("cannot create a file in " + folder + ": " + SystemError(errno));
  ::close(fd);
  const int other = CreateTemporary(target, second);
  if (other < 0) {
    const std::string why = "cannot create a file in " + folder + ": " + SystemError(errno);
    ::unlink(first.c_str());
    return refuse(why);
  }
  ::close(other);
  const bool renamed = ::rename(first.c_str(), second.c_str()) == 0;
  const int error = errno;
  ::unlink(renamed ? second.c_str() : first.c_str());
  if (!renamed) ::unlink(second.c_str());
  if (!renamed) return refuse("cannot rename files in " + folder + ": " + SystemError(error));
  return true;
}

}  // namespace vizmoro
