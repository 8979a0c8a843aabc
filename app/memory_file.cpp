#include "memory_file.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include <vizmoro/associative_memory.hpp>

#include "console_lines.hpp"

namespace vizmoro {

namespace {

namespace fs = std::filesystem;

constexpr int kMaxBackups = 100;

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

std::string BackupName(const std::string& fileName, int i) {
  return i == 0 ? fileName + ".bak" : fileName + ".bak." + std::to_string(i);
}

// Moves `fileName` to the first unused backup name. Returns that name, or "" with `why`.
std::string SetAside(const std::string& fileName, std::string& why) {
  for (int i = 0; i < kMaxBackups; ++i) {
    const std::string name = BackupName(fileName, i);
    if (Exists(name)) continue;
    if (std::rename(fileName.c_str(), name.c_str()) == 0) return name;
    why = std::strerror(errno);
    return std::string();
  }
  why = "the backup names " + BackupName(fileName, 0) + " to " +
        BackupName(fileName, kMaxBackups - 1) + " are all taken";
  return std::string();
}

// Why `fileName` cannot be used as a memory file; empty when it can (or does not exist).
std::string Unusable(const char* fileName) {
  struct stat st;
  if (::stat(fileName, &st) != 0) {
    if (errno != ENOENT) return std::strerror(errno);
    return std::string();
  }
  if (S_ISDIR(st.st_mode)) return "it is a folder";
  if (!S_ISREG(st.st_mode)) return "it is not a regular file but a FIFO, a device or a socket";
  std::FILE* file = std::fopen(fileName, "rb");
  if (!file) return std::strerror(errno);
  std::fclose(file);
  return std::string();
}

}  // namespace

MemoryFileLock PrepareMemoryFile(const char* fileName, std::FILE* out) {
  // A file that can never be used is refused before its lock file is made beside it.
  std::string why = Unusable(fileName);
  MemoryFileLock lock;
  if (why.empty()) lock = MemoryFileLock::Acquire(fileName, &why);
  if (lock.held()) {
    why = Unusable(fileName);
    if (why.empty() && !CanReplaceMemoryFile(fileName, &why))
      why = "a save could not replace it: " + why;
  }
  if (why.empty()) return lock;
  std::fprintf(out, "Cannot use the memory file %s: %s.\n", fileName, why.c_str());
  return MemoryFileLock();
}

MemoryFileStart LoadOrCreateMemory(CvAssociativeMemory& memory, const char* fileName,
                                   std::FILE* out, std::FILE* err) {
  MemoryFileStart start;
  std::string why = "not a memory file, or cut short";
  errno = 0;
  try {
    start.loaded = memory.LoadFromFile(fileName);
    if (!start.loaded && errno != 0) why = std::strerror(errno);
  } catch (const std::exception& e) {
    PrintError(err, e);
    const cv::Exception* report = dynamic_cast<const cv::Exception*>(&e);
    why = "its data was refused: " + (report ? report->err : std::string(e.what()));
  }
  if (start.loaded) {
    PrintLoadReport(out, fileName, memory);
    start.ready = true;
    return start;
  }

  if (Exists(fileName)) {
    std::string setAsideWhy;
    start.backupName = SetAside(fileName, setAsideWhy);
    if (start.backupName.empty()) {
      std::fprintf(out, "Memory file %s cannot be loaded (%s) nor set aside: %s.\n", fileName,
                   why.c_str(), setAsideWhy.c_str());
      return start;
    }
    std::fprintf(out, "Memory file %s cannot be loaded (%s): kept as %s, starting a new memory.\n",
                 fileName, why.c_str(), start.backupName.c_str());
  }
  memory.Create(kAreaWidth, kAreaHeight, kAreaLevels);
  start.ready = true;
  return start;
}

bool SaveMemory(CvAssociativeMemory& memory, const char* fileName, std::FILE* out, std::FILE* err) {
  bool saved = false;
  std::string why = "the memory refused to be saved";
  try {
    errno = 0;
    saved = memory.SaveToFile(fileName, false);
    if (!saved && errno != 0) why = std::strerror(errno);
  } catch (const std::exception& e) {
    PrintError(err, e);
  }
  if (!saved) std::fprintf(out, "Could not save the memory to %s: %s.\n", fileName, why.c_str());
  return saved;
}

}  // namespace vizmoro
