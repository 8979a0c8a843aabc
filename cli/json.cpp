#include "json.hpp"

#include <cstdio>

namespace vizmoro_cli {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the valid UTF-8 sequence at `s[i]`, 0 when it is not one. Overlong forms,
// surrogates and code points above U+10FFFF are not valid; `invalid` gets the length of the
// maximal subpart to replace.
size_t SequenceAt(const std::string& s, size_t i, size_t& invalid) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    invalid = 1;
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    const bool ok = i + k < s.size() && byte(i + k) >= (k == 1 ? low : 0x80) &&
                    byte(i + k) <= (k == 1 ? high : 0xBF);
    if (!ok) {
      invalid = k;
      return 0;
    }
  }
  return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      size_t invalid = 0;
      const size_t length = SequenceAt(text, i, invalid);
      json += length ? text.substr(i, length) : kReplacement;
      i += length ? length : invalid;
      continue;
    }
    switch (c) {
      case '"':
        json += "\\\"";
        break;
      case '\\':
        json += "\\\\";
        break;
      case '\b':
        json += "\\b";
        break;
      case '\f':
        json += "\\f";
        break;
      case '\n':
        json += "\\n";
        break;
      case '\r':
        json += "\\r";
        break;
      case '\t':
        json += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          json += escaped;
        } else {
          json += static_cast<char>(c);
        }
    }
    ++i;
  }
  return json + "\"";
}

}  // namespace vizmoro_cli
