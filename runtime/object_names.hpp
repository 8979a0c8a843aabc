// The names and taught box sizes of a memory's objects, kept beside the memory file in
// "FILE.names", one "ID<TAB>NAME<TAB>W<TAB>H" line per object; the memory file itself knows only
// the ID.
#ifndef VIZMORO_RUNTIME_OBJECT_NAMES_HPP
#define VIZMORO_RUNTIME_OBJECT_NAMES_HPP

#include <cstdint>
#include <map>
#include <string>

#include <opencv2/core.hpp>

namespace vizmoro {

struct ObjectName {
  std::string name;
  cv::Size taught;
};

using Names = std::map<int32_t, ObjectName>;

std::string NamesPath(const std::string& memoryFile);

// Reads a names file. A missing file gives no names; blank lines are skipped, and a CR before a
// line feed is dropped. A line that does not read as one (an empty NAME included), or a file
// that cannot be read or is not a regular file, is an error, said in `error`; errno then holds
// the file's error, or 0 for a line that does not read.
bool ReadNames(const std::string& path, Names& names, std::string& error);

// Replaces the names file whole, as a save replaces the memory file: a temporary file renamed
// over it, with the replaced file's owner and mode. False with `error`, and errno set.
bool WriteNames(const std::string& path, const Names& names, std::string& error);

}  // namespace vizmoro

#endif  // VIZMORO_RUNTIME_OBJECT_NAMES_HPP
