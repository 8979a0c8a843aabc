// The memory file kept between runs: checked before anything else, loaded at start-up, saved
// (pruned) at the end of a run.
#ifndef VIZMORO_APP_MEMORY_FILE_HPP
#define VIZMORO_APP_MEMORY_FILE_HPP

#include <cstdio>
#include <string>

#include <vizmoro/memory_file.hpp>

namespace vizmoro {

class CvAssociativeMemory;

constexpr char kMemoryFileName[] = "am.dat";
constexpr int kAreaWidth = 220;
constexpr int kAreaHeight = 220;
constexpr int kAreaLevels = 3;

// What a run must have before it learns anything: the lock on the memory file, a file that is
// either missing or a readable regular file, and a folder in which a save can replace it. On
// failure the lock is not held and `out` has a line that says why.
MemoryFileLock PrepareMemoryFile(const char* fileName, std::FILE* out);

struct MemoryFileStart {
  bool ready = false;      // false: the run must end (`out` said why)
  bool loaded = false;     // the file was loaded and the load report printed
  std::string backupName;  // where an unloadable file was moved to, if anywhere
};

// Loads `fileName` into `memory` and prints the load report to `out`. When there is no such
// file the memory is created fresh for a 220 x 220 area with 3 levels, silently. When the
// file exists but cannot be loaded, or the memory refuses its data, the memory is created
// fresh as well, the file is renamed to the first free name of "<file>.bak", "<file>.bak.1",
// ... "<file>.bak.99" so that the end of the run does not overwrite it, and a line on `out`
// says so and why; when it cannot be renamed, the run is not ready. Engine reports go to `err`.
MemoryFileStart LoadOrCreateMemory(CvAssociativeMemory& memory, const char* fileName,
                                   std::FILE* out, std::FILE* err);

// Prunes and saves the memory. Returns false, with a line on `out` that says why, when the file
// could not be written; the previous file is then left as it was.
bool SaveMemory(CvAssociativeMemory& memory, const char* fileName, std::FILE* out, std::FILE* err);

}  // namespace vizmoro

#endif  // VIZMORO_APP_MEMORY_FILE_HPP
