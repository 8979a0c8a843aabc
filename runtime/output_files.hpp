// Files a run writes besides its memory: the check that an output is none of the run's other
// files, and outputs written under a temporary name and put in place when the run ends.
#ifndef VIZMORO_RUNTIME_OUTPUT_FILES_HPP
#define VIZMORO_RUNTIME_OUTPUT_FILES_HPP

#include <string>

namespace vizmoro {

// The path `path` leads to once symbolic links are followed, the last one too, also where the
// file does not exist (yet): an absolute path, or `path` itself when its folder cannot be found.
std::string ResolvedPath(const std::string& path);

// Whether writing `a` would write `b`: the same file on disk (through symbolic and hard links),
// or, where neither exists yet, the same path once links are followed. A character device such
// as /dev/null is no file to protect.
bool SameFile(const std::string& a, const std::string& b);

// Whether an output at `path` is written directly, in place: an existing file that is neither
// regular nor a folder (a device, a FIFO, a socket).
bool WrittenInPlace(const std::string& path);

// A regular file written under a temporary name beside it and renamed over it at the end, so
// that the file is only ever replaced by a whole new one, and a run that fails leaves it as it
// was. The temporary is removed unless committed.
class ReplacedFile {
 public:
  ReplacedFile() = default;
  ~ReplacedFile() { Discard(); }
  ReplacedFile(const ReplacedFile&) = delete;
  ReplacedFile& operator=(const ReplacedFile&) = delete;

  // Creates the temporary of `path` (of the file a symbolic link `path` names):
  // "<path>.tmp<pid>", or with `keepExtension` "<stem>.tmp<pid>.<extension>", for writers that
  // choose the format by the extension. Returns its descriptor, or -1 with errno set.
  int Create(const std::string& path, bool keepExtension);
  const std::string& temporary() const { return temporary_; }
  // Gives the temporary the mode (and, for root, the owner) of the file it replaces, flushes it
  // to the disk and renames it over the file. False with errno set; the temporary is then
  // removed.
  bool Commit();
  // Removes the temporary, if any.
  void Discard();

 private:
  std::string target_, temporary_;
};

}  // namespace vizmoro

#endif  // VIZMORO_RUNTIME_OUTPUT_FILES_HPP
