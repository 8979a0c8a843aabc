// Text for JSON output.
#ifndef VIZMORO_CLI_JSON_HPP
#define VIZMORO_CLI_JSON_HPP

#include <string>

namespace vizmoro_cli {

// `text` as a JSON string, quotes included, always valid JSON: quotes, backslashes and control
// characters (NUL too) are escaped, and each byte sequence that is not UTF-8 (names files of
// older runs, file names) becomes U+FFFD, one per maximal invalid subpart as Unicode
// recommends. Valid UTF-8 passes unchanged.
std::string JsonString(const std::string& text);

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_JSON_HPP
