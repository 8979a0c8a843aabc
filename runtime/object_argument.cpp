#include "object_argument.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace vizmoro {

namespace {

bool ParseBox(const std::string& text, cv::Rect& box) {
  long long v[4];
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t comma = text.find(',', start);
    if ((i < 3) != (comma != std::string::npos)) return false;
    const std::string field = text.substr(start, i < 3 ? comma - start : std::string::npos);
    if (!ParseInt(field, i < 2 ? 0 : 1, INT_MAX / 2, v[i])) return false;
    start = comma + 1;
  }
  box = cv::Rect(static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
                 static_cast<int>(v[3]));
  return true;
}

}  // namespace

bool ParseInt(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty() || text.size() > 19) return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || !(text[0] == '-' || (text[0] >= '0' && text[0] <= '9')))
    return false;
  if (parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

bool ParseRange(const std::string& text, FrameRange& range) {
  const size_t dash = text.find('-');
  long long first = 0, last = 0;
  if (dash == std::string::npos) {
    if (!ParseInt(text, 0, INT_MAX, first)) return false;
    last = first;
  } else if (!ParseInt(text.substr(0, dash), 0, INT_MAX, first) ||
             !ParseInt(text.substr(dash + 1), 0, INT_MAX, last) || last < first) {
    return false;
  }
  range = FrameRange{static_cast<int>(first), static_cast<int>(last)};
  return true;
}

bool ParseObject(const std::string& text, ObjectSpec& object, std::string& problem) {
  std::string error = "invalid --object \"" + text + "\": ";
  auto fail = [&](const char* why) {
    problem = error + why;
    return false;
  };
  const size_t colon = text.find(':');
  long long id = 0;
  if (colon == std::string::npos || !ParseInt(text.substr(0, colon), 1, INT32_MAX, id)) {
    return fail("it must start with an ID from 1 to 2147483647 and a colon");
  }
  object = ObjectSpec();
  object.id = static_cast<int32_t>(id);
  std::string rest = text.substr(colon + 1);
  // The box is after the last colon, when what follows it reads as one.
  const size_t last = rest.rfind(':');
  if (last != std::string::npos) {
    std::string box = rest.substr(last + 1);
    const size_t at = box.find('@');
    cv::Rect parsed;
    if (ParseBox(box.substr(0, at), parsed)) {
      object.box = parsed;
      if (at != std::string::npos) {
        if (!ParseRange(box.substr(at + 1), object.range))
          return fail("the frames after @ must read A-B, with A <= B");
        object.hasRange = true;
      }
      rest.resize(last);
    } else if (box.find(',') != std::string::npos) {
      return fail("the box must read X,Y,W,H with W and H above 0");
    }
  }
  // Without a box ("ID:NAME@A-B", drawn with the mouse), frames after the name's last '@' are
  // the object's own; a name such as "me@home" stays whole.
  const size_t at = rest.rfind('@');
  if (object.box.empty() && at != std::string::npos && at > 0 &&
      ParseRange(rest.substr(at + 1), object.range)) {
    object.hasRange = true;
    rest.resize(at);
  }
  // Control characters would break the names file's lines and the JSON of inspect.
  if (rest.empty() || std::any_of(rest.begin(), rest.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
      }))
    return fail("the name must not be empty nor hold control characters (tabs, line breaks)");
  object.name = rest;
  return true;
}

}  // namespace vizmoro
