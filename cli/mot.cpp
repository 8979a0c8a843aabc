#include "mot.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace vizmoro_cli {

namespace {

// The comma-separated numbers of a line; false when a field is not a finite number.
bool Numbers(const std::string& line, std::vector<double>& numbers) {
  numbers.clear();
  size_t start = 0;
  for (;;) {
    const size_t comma = line.find(',', start);
    std::string field =
        line.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    while (!field.empty() && (field.back() == ' ' || field.back() == '\r')) field.pop_back();
    size_t first = field.find_first_not_of(' ');
    if (first == std::string::npos) return false;
    field = field.substr(first);
    char* end = nullptr;
    const double value = std::strtod(field.c_str(), &end);
    if (end != field.c_str() + field.size() || !std::isfinite(value)) return false;
    numbers.push_back(value);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

}  // namespace

bool ReadDetections(const std::string& path, std::vector<Detection>& detections,
                    std::string& error) {
  detections.clear();
  std::ifstream in(path);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  int number = 0, plainFrame = 0;
  bool plain = false, mot = false;
  std::vector<double> v;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.empty() || line == "\r" || line[0] == '#') continue;
    const bool ok = Numbers(line, v);
    Detection d;
    if (ok && v.size() == 4 && !mot) {
      plain = true;
      d.frame = ++plainFrame;
      d.id = 1;
      d.box = cv::Rect2d(v[0], v[1], v[2], v[3]);
    } else if (ok && v.size() >= 6 && !plain && v[0] >= 1 && v[0] <= 1e9 && v[1] >= -1 &&
               v[1] <= INT32_MAX && v[0] == std::floor(v[0]) && v[1] == std::floor(v[1])) {
      mot = true;
      d.frame = static_cast<int>(v[0]);
      d.id = static_cast<int32_t>(v[1]);
      d.box = cv::Rect2d(v[2], v[3], v[4], v[5]);
      if (v.size() >= 7) d.conf = v[6];
    } else {
      error =
          path + ", line " + std::to_string(number) + ": neither frame,id,x,y,w,h,... nor x,y,w,h";
      return false;
    }
    detections.push_back(d);
  }
  if (in.bad()) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string MotLine(int frame, int32_t id, const cv::Rect& box, double conf) {
  char line[160];
  std::snprintf(line, sizeof line, "%d,%d,%d,%d,%d,%d,%.4f,-1,-1,-1\n", frame, id, box.x, box.y,
                box.width, box.height, conf);
  return line;
}

}  // namespace vizmoro_cli
