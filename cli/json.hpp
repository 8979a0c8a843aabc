// The JSON that vizmoro-cli prints.
#ifndef VIZMORO_CLI_JSON_HPP
#define VIZMORO_CLI_JSON_HPP

#include <string>

#include <nlohmann/json.hpp>

namespace vizmoro_cli {

// Keys in the order they are set.
using Json = nlohmann::ordered_json;

// `value` on one line, ended by a newline. Always valid JSON: quotes, backslashes and control
// characters (NUL too) are escaped, and each byte sequence that is not UTF-8 (names files of
// older runs, file names) becomes U+FFFD, one per maximal invalid subpart as Unicode
// recommends. Valid UTF-8 passes unchanged.
std::string JsonLine(const Json& value);

// `value` rounded to `decimals` decimals, as printf's "%.*f" rounds it: the number a reader of
// that text gets.
double Rounded(double value, int decimals);

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_JSON_HPP
