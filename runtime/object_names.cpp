#include "object_names.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

// The engine's own replacement and reading of a file, so that the names file is kept exactly as
// the memory file beside it: replaced whole, with its owner and mode, never waited on.
#include "../src/file_io.hpp"

namespace vizmoro {

namespace file_io = detail::file_io;

std::string NamesPath(const std::string& memoryFile) {
  return memoryFile + ".names";
}

bool ReadNames(const std::string& path, Names& names, std::string& error) {
  names.clear();
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(file_io::OpenRegularFile(path.c_str()),
                                                     &std::fclose);
  if (!in) {
    if (errno == ENOENT) return true;
    error = path + ": " + (errno == EINVAL ? "not a regular file" : std::strerror(errno));
    return false;
  }
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0;) text.append(buffer, n);
  if (std::ferror(in.get())) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();  // written on another system
    if (line.empty()) continue;
    const size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1), t3 = line.find('\t', t2 + 1);
    long id = 0;
    int width = 0, height = 0;
    char* end = nullptr;
    bool ok = t1 != std::string::npos && t2 != std::string::npos && t3 != std::string::npos &&
              line.find('\t', t3 + 1) == std::string::npos && t2 > t1 + 1;
    if (ok) {
      id = std::strtol(line.c_str(), &end, 10);
      ok = end == line.c_str() + t1 && id >= 1 && id <= INT32_MAX &&
           std::sscanf(line.c_str() + t2 + 1, "%d", &width) == 1 &&
           std::sscanf(line.c_str() + t3 + 1, "%d", &height) == 1 && width > 0 && height > 0;
    }
    if (!ok) {
      error = path + ", line " + std::to_string(number) + ": not ID<TAB>NAME<TAB>W<TAB>H";
      errno = 0;  // the file itself was read
      return false;
    }
    names[static_cast<int32_t>(id)] = ObjectName{line.substr(t1 + 1, t2 - t1 - 1), {width, height}};
  }
  return true;
}

bool WriteNames(const std::string& path, const Names& names, std::string& error) {
  std::string text;
  for (const auto& [id, object] : names)
    text += std::to_string(id) + "\t" + object.name + "\t" + std::to_string(object.taught.width) +
            "\t" + std::to_string(object.taught.height) + "\n";
  if (file_io::ReplaceFile(path.c_str(), reinterpret_cast<const uint8_t*>(text.data()),
                           text.size()))
    return true;
  error = path + ": " + std::strerror(errno);
  return false;
}

}  // namespace vizmoro
