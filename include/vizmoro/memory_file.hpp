// Keeping a memory in a file across runs: the lock a run holds on the file, and the check that
// a save will be able to replace it.
//
// CvAssociativeMemory::SaveToFile replaces the file whole: it writes a temporary file beside it
// ("<file>.tmp<pid>-<n>"), flushes it and renames it over the file. So a save needs a folder in
// which it may create and rename files, not a writable memory file; it keeps the replaced
// file's mode (and, saving as root, its owner and group), and it cuts a hard link to the file.
#ifndef VIZMORO_MEMORY_FILE_HPP
#define VIZMORO_MEMORY_FILE_HPP

#include <string>

namespace vizmoro {

// An advisory lock held on a memory file for a whole run, so that two runs never learn into the
// same file and silently lose the learning of the one that saves first. It lies on
// "<file>.lock" beside the file (beside the file a symbolic link names), which no save replaces
// and which is left in place. The lock ends with the object, or with the process however it
// ends.
class MemoryFileLock {
 public:
  //   ensures: !held().
  MemoryFileLock() = default;
  // Releases the lock, if held.
  ~MemoryFileLock();
  // A moved-from lock is not held; the lock moves with its descriptor, never released between.
  MemoryFileLock(MemoryFileLock&& other) noexcept;
  MemoryFileLock& operator=(MemoryFileLock&& other) noexcept;
  MemoryFileLock(const MemoryFileLock&) = delete;
  MemoryFileLock& operator=(const MemoryFileLock&) = delete;

  // Takes the lock of `memoryFile` without waiting; the lock file is created when missing.
  //   ensures: held(), or not held() and `reason`, when not null, says why: another holder, or
  //     the system's error text. `reason` is written during the call only. Never throws but
  //     std::bad_alloc.
  static MemoryFileLock Acquire(const std::string& memoryFile, std::string* reason = nullptr);

  bool held() const { return fd_ >= 0; }
  // The lock file; the reference is valid while the object lives and is not assigned to.
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// Whether a save could replace `memoryFile` now: a temporary file can be created beside it and
// renamed, and the file, if it exists, may be replaced.
//   ensures: true, or false and `reason`, when not null, says why (written during the call
//     only). Leaves nothing behind. Never throws but std::bad_alloc.
bool CanReplaceMemoryFile(const std::string& memoryFile, std::string* reason = nullptr);

}  // namespace vizmoro

#endif  // VIZMORO_MEMORY_FILE_HPP
