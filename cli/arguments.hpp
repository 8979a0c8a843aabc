// The command line of vizmoro-cli: a subcommand and its options.
#ifndef VIZMORO_CLI_ARGUMENTS_HPP
#define VIZMORO_CLI_ARGUMENTS_HPP

#include <cstdint>
#include <string>
#include <vector>

#include <vizmoro/session_params.hpp>

#include "object_argument.hpp"

namespace vizmoro_cli {

// Exit codes, as --help lists them.
enum ExitCode {
  kExitOk = 0,
  kExitUsage = 1,   // the command line is wrong
  kExitInput = 2,   // an input cannot be read (video, memory file, names, results, truth)
  kExitOutput = 3,  // an output cannot be written (memory file, results, video, plot)
  kExitInUse = 4,   // another run holds the memory file
};

enum class Command { kNone, kHelp, kVersion, kTeach, kTrack, kRun, kInspect, kEval, kShow };

// The --object argument, as the batch reads it too.
using vizmoro::FrameRange;
using vizmoro::ObjectSpec;
using vizmoro::ParseInt;
using vizmoro::ParseObject;
using vizmoro::ParseRange;

struct Arguments {
  Command command = Command::kNone;
  bool help = false;  // --help of a command
  std::string video;
  std::string memory = "am.dat";
  std::vector<ObjectSpec> objects;
  bool hasFrames = false;
  FrameRange frames;  // --frames: the teaching range of objects without their own
  bool select = false, flip = false, hueMask = false;
  int selectFrame = -1;  // --select-frame: the frame the picker shows first (-1: the object's)
  bool plain = false;    // the memory's own search and tracking, without the tracker
  int levels = 3;
  // Learning, tracking and saving; the defaults are vizmoro::SessionParams'.
  std::string results, outputVideo;
  bool learn = true, show = false, seenOnly = false;
  // --coast: tracked frames an object not seen is still listed where it was last seen; -1 for
  // the default (the tracker: none; --plain: as long as the memory keeps its track). --seen-only
  // sets 0.
  int coast = -1;
  bool guard = vizmoro::SessionParams().learning.guard;
  int budget = vizmoro::SessionParams().learning.budget;
  bool followSize = vizmoro::SessionParams().tracking.followSize;
  bool keepIdentities = vizmoro::SessionParams().tracking.keepIdentities;
  bool prune = !vizmoro::SessionParams().keepAll;
  bool quiet = false;
  // inspect, eval and show.
  bool json = false;
  std::string resultsFile, truthFile, plot;
  int frame = -1;  // show --frame: the one frame drawn (-1: every frame, into a video)
  std::string output;
};

// The session's settings as the options give them.
vizmoro::SessionParams SessionParamsOf(const Arguments& arguments);

// Parses argv[1..]. On failure returns false and says why in `error` (one line, no newline).
bool ParseArguments(int argc, const char* const* argv, Arguments& arguments, std::string& error);

// The help of a command (kNone: of the program).
std::string HelpText(Command command);
// "vizmoro-cli VERSION", one line.
std::string VersionText();

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_ARGUMENTS_HPP
