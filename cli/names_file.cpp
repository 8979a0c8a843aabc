#include "names_file.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vizmoro_cli {

std::string NamesPath(const std::string& memoryFile) {
  return memoryFile + ".names";
}

bool ReadNames(const std::string& path, Names& names, std::string& error) {
  names.clear();
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT) return true;
    error = path + ": " + std::strerror(errno);
    return false;
  }
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
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
      return false;
    }
    names[static_cast<int32_t>(id)] = ObjectName{line.substr(t1 + 1, t2 - t1 - 1), {width, height}};
  }
  if (in.bad()) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool WriteNames(const std::string& path, const Names& names, std::string& error) {
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  std::FILE* out = std::fopen(temporary.c_str(), "w");
  bool ok = out != nullptr;
  for (const auto& [id, object] : names)
    if (ok)
      ok = std::fprintf(out, "%d\t%s\t%d\t%d\n", id, object.name.c_str(), object.taught.width,
                        object.taught.height) > 0;
  if (out) ok = (std::fflush(out) == 0 && ::fsync(::fileno(out)) == 0) && ok;
  if (out && std::fclose(out) != 0) ok = false;
  ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    error = path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
  }
  return ok;
}

}  // namespace vizmoro_cli
