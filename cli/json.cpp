#include "json.hpp"

#include <cstdio>
#include <cstdlib>

namespace vizmoro_cli {

std::string JsonLine(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

double Rounded(double value, int decimals) {
  char text[400];  // room for the largest double in fixed notation
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return std::strtod(text, nullptr);
}

}  // namespace vizmoro_cli
