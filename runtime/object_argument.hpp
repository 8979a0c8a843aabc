// The --object argument of vizmoro-cli and the batch, "ID:NAME[:X,Y,W,H[@A-B]]", and the whole
// numbers and frame ranges it is made of, read the same way wherever they are given.
#ifndef VIZMORO_RUNTIME_OBJECT_ARGUMENT_HPP
#define VIZMORO_RUNTIME_OBJECT_ARGUMENT_HPP

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace vizmoro {

// Frames counted from 0, both ends included.
struct FrameRange {
  int first = 0, last = 0;
  bool Holds(int frame) const { return frame >= first && frame <= last; }
};

struct ObjectSpec {
  int32_t id = 0;
  std::string name;
  cv::Rect box;           // empty: to be selected with the mouse
  bool hasRange = false;  // "@A-B" given
  FrameRange range;
};

// A decimal whole number from `low` to `high`: an optional '-' and digits, nothing else (no
// white space, no '+').
bool ParseInt(const std::string& text, long long low, long long high, long long& value);

// "ID:NAME", "ID:NAME@A-B", "ID:NAME:X,Y,W,H" or "ID:NAME:X,Y,W,H@A-B". On failure says why in
// `error`.
bool ParseObject(const std::string& text, ObjectSpec& object, std::string& error);
// "A-B" or "A".
bool ParseRange(const std::string& text, FrameRange& range);

}  // namespace vizmoro

#endif  // VIZMORO_RUNTIME_OBJECT_ARGUMENT_HPP
