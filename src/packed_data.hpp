// Seams of the memory file that tests use to make a save fail part-way.
#ifndef VIZMORO_PACKED_DATA_HPP
#define VIZMORO_PACKED_DATA_HPP

#include <sys/types.h>

#include <cstddef>

namespace vizmoro::detail::packed_file {

// The write(2) through which SaveToFile writes its temporary file. A replacement may write
// fewer bytes than asked or fail with errno set, as a full disk would.
using WriteFunction = ssize_t (*)(int fd, const void* data, size_t size);
extern WriteFunction writeFunction;

// The fsync(2) that makes the temporary file durable before it replaces the file; a failure
// (EIO from a failing disk) fails the save.
using SyncFunction = int (*)(int fd);
extern SyncFunction syncFunction;

}  // namespace vizmoro::detail::packed_file

#endif  // VIZMORO_PACKED_DATA_HPP
