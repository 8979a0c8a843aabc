// The memory file on disk: replacing it whole, and opening it for reading.
#ifndef VIZMORO_FILE_IO_HPP
#define VIZMORO_FILE_IO_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vizmoro::detail::file_io {

// The file a save replaces and a lock guards: what a symbolic link `path` names, else `path`.
std::string ReplacedPath(const std::string& path);

// Replaces `path` with `size` bytes so that a reader sees either the old file or the whole new
// one. False with errno set when it could not; the previous file then stays as it was.
bool ReplaceFile(const char* path, const uint8_t* data, size_t size);

// Opens a regular file for reading; a FIFO or a device is refused without waiting on it.
// Null with errno set on failure (EISDIR for a folder, EINVAL for other files that are not
// regular).
std::FILE* OpenRegularFile(const char* path);

}  // namespace vizmoro::detail::file_io

#endif  // VIZMORO_FILE_IO_HPP
