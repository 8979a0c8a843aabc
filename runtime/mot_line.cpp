#include "mot_line.hpp"

#include <cstdio>

namespace vizmoro {

std::string MotLine(int frame, int32_t id, const cv::Rect& box, double conf) {
  char line[160];
  std::snprintf(line, sizeof line, "%d,%d,%d,%d,%d,%d,%.4f,-1,-1,-1\n", frame, id, box.x, box.y,
                box.width, box.height, conf);
  return line;
}

}  // namespace vizmoro
