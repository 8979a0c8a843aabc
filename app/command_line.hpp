// The command line of the Vizmoro program: "Vizmoro [file.avi | 0..9] [/r ]".
#ifndef VIZMORO_APP_COMMAND_LINE_HPP
#define VIZMORO_APP_COMMAND_LINE_HPP

#include <string>

namespace vizmoro {

extern const char kHelpText[];
extern const char kOnlyAviMessage[];

struct CommandLine {
  enum class Action {
    kHelp,    // print kHelpText, exit 0
    kRefuse,  // print kOnlyAviMessage, exit -1
    kCamera,  // capture from `device`
    kFile     // read the AVI file `fileName`
  };
  Action action = Action::kHelp;
  int device = 0;
  std::string fileName;  // the lower-cased first argument, whole
  // fileName before its first ".avi"; empty for a camera. When that ".avi" lies in a folder's
  // name, the one in the file's own name counts instead (or none), so that the output goes
  // beside the clip and never to another folder: "a.avi.d/clip.avi" gives "a.avi.d/clip".
  std::string baseName;
  std::string outputName;  // baseName + "_out.avi"
  std::string shownName;   // the file as "Can't find file" names it
  bool recording = false;  // "/r" somewhere in the joined further arguments
  bool guarded = false;    // "/g" there: the learning guard and the base budget
};

// Reads argv[1..argc-1] (argv[0] is the program name). Pure: no I/O, any length of input.
CommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace vizmoro

#endif  // VIZMORO_APP_COMMAND_LINE_HPP
