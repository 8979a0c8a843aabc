#include "memory_file.hpp"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

#include <vizmoro/associative_memory.hpp>

#include "console_lines.hpp"

namespace vizmoro {

namespace {

namespace fs = std::filesystem;

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

// Moves `fileName` to the first unused backup name; returns that name, or "" on failure.
std::string SetAside(const std::string& fileName) {
  constexpr int kMaxBackups = 100;
  for (int i = 0; i < kMaxBackups; ++i) {
    std::string name = fileName + ".bak";
    if (i > 0) name += "." + std::to_string(i);
    if (Exists(name)) continue;
    return std::rename(fileName.c_str(), name.c_str()) == 0 ? name : std::string();
  }
  return std::string();
}

}  // namespace

MemoryFileStart LoadOrCreateMemory(CvAssociativeMemory& memory, const char* fileName,
                                   std::FILE* out, std::FILE* err) {
  MemoryFileStart start;
  bool refused = false;
  try {
    start.loaded = memory.LoadFromFile(fileName);
  } catch (const std::exception& e) {
    PrintError(err, e);
    refused = true;
    start.loaded = false;
  }
  if (start.loaded) {
    PrintLoadReport(out, fileName, memory);
    return start;
  }

  if (refused || Exists(fileName)) {
    start.backupName = SetAside(fileName);
    if (!start.backupName.empty()) {
      std::fprintf(out, "Memory file %s cannot be loaded: kept as %s, starting a new memory.\n",
                   fileName, start.backupName.c_str());
    } else {
      start.saveAtEnd = false;
      std::fprintf(out,
                   "Memory file %s cannot be loaded nor renamed: starting a new memory, which "
                   "will not be saved.\n",
                   fileName);
    }
  }
  memory.Create(kAreaWidth, kAreaHeight, kAreaLevels);
  return start;
}

bool SaveMemory(CvAssociativeMemory& memory, const char* fileName, std::FILE* out, std::FILE* err) {
  bool saved = false;
  try {
    saved = memory.SaveToFile(fileName, false);
  } catch (const std::exception& e) {
    PrintError(err, e);
  }
  if (!saved) std::fprintf(out, "Could not save the memory to %s.\n", fileName);
  return saved;
}

}  // namespace vizmoro
