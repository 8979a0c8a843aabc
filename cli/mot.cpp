#include "mot.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace vizmoro_cli {

namespace {

// Frames above this are refused: no video has them, and a typing error should not make a
// score count a billion frames.
constexpr double kMaxFrame = 1e9;

// The columns of a layout; -1 where it has none.
struct Layout {
  int frame = -1, id = -1, x = 0, y = 1, w = 2, h = 3, visible = -1, conf = -1;
  size_t fields = 4;  // on each line; with `atLeast`, the least
  bool atLeast = false;
  int firstFrame = 1;  // the number of the first frame
  bool named = false;  // by a header
};

Layout MotLayout() {
  Layout l;
  l.frame = 0;
  l.id = 1;
  l.x = 2;
  l.y = 3;
  l.w = 4;
  l.h = 5;
  l.conf = 6;  // when there is one
  l.fields = 6;
  l.atLeast = true;
  return l;
}

bool Blank(const std::string& line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

// The fields of a line: separated by commas where it has one, else by runs of spaces and tabs.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  const bool commas = line.find(',') != std::string::npos;
  const char* const space = " \t\r";
  size_t start = 0;
  for (;;) {
    if (!commas) {
      start = line.find_first_not_of(space, start);
      if (start == std::string::npos) break;
    }
    const size_t end = line.find_first_of(commas ? "," : space, start);
    std::string field = line.substr(start, end == std::string::npos ? end : end - start);
    const size_t first = field.find_first_not_of(space), last = field.find_last_not_of(space);
    fields.push_back(first == std::string::npos ? "" : field.substr(first, last - first + 1));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return fields;
}

// A finite number, or NaN (a value that is not known); false for anything else.
bool Number(const std::string& field, double& value) {
  if (field.empty()) return false;
  char* end = nullptr;
  value = std::strtod(field.c_str(), &end);
  return end == field.c_str() + field.size() && !std::isinf(value);
}

bool Numbers(const std::vector<std::string>& fields, std::vector<double>& values) {
  values.resize(fields.size());
  for (size_t i = 0; i < fields.size(); ++i)
    if (!Number(fields[i], values[i])) return false;
  return true;
}

// The layout a header names, or false with `error`. A header with a frame but no id counts
// frames from 0 (frame,x,y,w,h,visible); one with both, from 1 (MOT).
bool HeaderLayout(const std::vector<std::string>& names, Layout& layout, std::string& error) {
  layout = Layout();
  layout.x = layout.y = layout.w = layout.h = -1;
  layout.fields = names.size();
  layout.named = true;
  for (size_t i = 0; i < names.size(); ++i) {
    std::string name = names[i];
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    int* column = name == "frame"                   ? &layout.frame
                  : name == "id"                    ? &layout.id
                  : name == "x"                     ? &layout.x
                  : name == "y"                     ? &layout.y
                  : name == "w" || name == "width"  ? &layout.w
                  : name == "h" || name == "height" ? &layout.h
                  : name == "visible"               ? &layout.visible
                  : name == "conf"                  ? &layout.conf
                                                    : nullptr;
    if (!column) continue;  // a column of no use here
    if (*column >= 0) {
      error = "a header naming " + name + " twice";
      return false;
    }
    *column = static_cast<int>(i);
  }
  if (layout.x < 0 || layout.y < 0 || layout.w < 0 || layout.h < 0) {
    error = "a header without x, y, w and h";
    return false;
  }
  if (layout.id >= 0 && layout.frame < 0) {
    error = "a header with an id but no frame";
    return false;
  }
  layout.firstFrame = layout.id >= 0 ? 1 : 0;
  return true;
}

// The layout of the first line of values of a file without a header, or false with `error`.
bool HeaderlessLayout(size_t fields, Layout& layout, std::string& error) {
  if (fields == 4) {
    layout = Layout();
    return true;
  }
  if (fields >= 7) {
    layout = MotLayout();
    return true;
  }
  error = fields == 6 ? "frame,id,x,y,w,h or frame,x,y,w,h,visible? Name the columns in a "
                        "first line"
                      : "neither frame,id,x,y,w,h,... nor x,y,w,h";
  return false;
}

bool Integer(double value, double low, double high) {
  return value >= low && value <= high && value == std::floor(value);
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
  int number = 0;
  bool known = false;  // the layout
  Layout layout;
  // Frames counted by lines: the last one, and blank lines not yet followed by a box.
  double lineFrame = 0, blanks = 0;
  std::vector<double> v;
  auto fail = [&](const std::string& why) {
    error = path + ", line " + std::to_string(number) + ": " + why;
    return false;
  };
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (Blank(line)) {
      ++blanks;  // a frame out of sight, unless no box follows it or frames are numbered
      continue;
    }
    if (line[0] == '#') continue;
    const std::vector<std::string> fields = Fields(line);
    const bool numbers = Numbers(fields, v);
    if (!known) {
      known = true;
      double unused;
      const bool names = std::none_of(fields.begin(), fields.end(),
                                      [&](const std::string& f) { return Number(f, unused); });
      if (names) {
        if (!HeaderLayout(fields, layout, error)) return fail(error);
        blanks = 0;  // lines before the header are no frames
        continue;
      }
      if (!HeaderlessLayout(fields.size(), layout, error)) return fail(error);
    }
    if (!numbers || fields.size() < layout.fields ||
        (!layout.atLeast && fields.size() != layout.fields))
      return fail(layout.named
                      ? "not the " + std::to_string(layout.fields) + " values of the header"
                      : "neither frame,id,x,y,w,h,... nor x,y,w,h");
    Detection d;
    if (layout.frame >= 0) {
      if (!Integer(v[layout.frame], layout.firstFrame, kMaxFrame))
        return fail("the frame is not a whole number from " + std::to_string(layout.firstFrame) +
                    " to 1000000000");
      d.frame = static_cast<int>(v[layout.frame]) - layout.firstFrame + 1;
    } else {
      lineFrame += blanks + 1;
      if (lineFrame > kMaxFrame) return fail("more than 1000000000 frames");
      d.frame = static_cast<int>(lineFrame);
    }
    blanks = 0;
    if (layout.id >= 0 && !Integer(v[layout.id], -1, INT32_MAX))
      return fail("the id is not a whole number from -1 to 2147483647");
    d.id = layout.id >= 0 ? static_cast<int32_t>(v[layout.id]) : 1;
    const bool hasConf = layout.conf >= 0 && static_cast<size_t>(layout.conf) < fields.size();
    if ((hasConf && std::isnan(v[layout.conf])) ||
        (layout.visible >= 0 && std::isnan(v[layout.visible])))
      return fail("a conf or visible that is not a number");
    if (hasConf) d.conf = v[layout.conf];
    d.box = cv::Rect2d(v[layout.x], v[layout.y], v[layout.w], v[layout.h]);
    // A box with an unknown value, or marked not visible, is out of sight.
    if (std::isnan(d.box.x) || std::isnan(d.box.y) || std::isnan(d.box.width) ||
        std::isnan(d.box.height) || (layout.visible >= 0 && v[layout.visible] == 0))
      d.box = cv::Rect2d();
    detections.push_back(d);
  }
  if (in.bad()) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace vizmoro_cli
