#include "command_line.hpp"

namespace vizmoro {

const char kHelpText[] =
    "\n\n=== Recognition help ===\n\nVizmoro.exe [file.avi | 0..9] [/r ]\n"
    " 0..9 - capture device number\n"
    " /r   - write result in file_out.avi\n";

const char kOnlyAviMessage[] = "AVI files are processing only!\n\n";

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Only A to Z: the locale plays no part, other bytes (UTF-8 included) pass unchanged.
std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  if (argc < 2) return line;  // kHelp
  std::string first = argv[1];
  // "/?" counts only when it is the sole argument.
  if (argc == 2 && first.find("/?") != std::string::npos) return line;

  first = LowerAscii(first);
  const bool startsWithDigit = !first.empty() && IsDigit(first[0]);
  const size_t aviAt = first.find(".avi");
  if (aviAt == std::string::npos && !startsWithDigit) {
    line.action = CommandLine::Action::kRefuse;
    return line;
  }

  // The further arguments are joined without separators, so "/" "r" also asks for recording.
  std::string further;
  for (int i = 2; i < argc; ++i) further += argv[i];
  line.recording = further.find("/r") != std::string::npos;
  line.guarded = further.find("/g") != std::string::npos;

  if (startsWithDigit) {
    line.action = CommandLine::Action::kCamera;
    // With further arguments the digit is not looked at: device 0.
    line.device = argc == 2 ? first[0] - '0' : 0;
  } else {
    line.action = CommandLine::Action::kFile;
    line.fileName = first;
    const size_t slash = first.rfind('/');
    size_t baseEnd = aviAt;
    if (slash != std::string::npos && aviAt < slash) baseEnd = first.find(".avi", slash + 1);
    line.baseName = first.substr(0, baseEnd);
    line.shownName = baseEnd == std::string::npos ? first : line.baseName + ".avi";
  }
  line.outputName = line.baseName + "_out.avi";
  return line;
}

}  // namespace vizmoro
