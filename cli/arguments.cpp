#include "arguments.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>

namespace vizmoro_cli {

namespace {

const char kProgramHelp[] =
    "usage: vizmoro-cli COMMAND [OPTIONS]\n"
    "\n"
    "Teach an associative memory your own objects in a video, then find and track them in any\n"
    "video; the memory is kept in a file and goes on learning from run to run.\n"
    "\n"
    "commands:\n"
    "  teach VIDEO --object ID:NAME:X,Y,W,H ...   teach objects from their boxes\n"
    "  track VIDEO                                 find and track every taught object\n"
    "  run VIDEO --object ...                      teach on some frames, track the rest\n"
    "  inspect [FILE]                              what a memory file holds\n"
    "  eval RESULTS TRUTH                          score results against ground truth\n"
    "\n"
    "'vizmoro-cli COMMAND --help' explains a command; 'vizmoro-cli --version' prints the\n"
    "version.\n"
    "\n"
    "VIDEO is anything the video library opens: a file of any name, a URL, an image sequence\n"
    "such as frames/%05d.png, a GStreamer pipeline, or a camera index (0, 1, ...).\n"
    "\n"
    "exit codes:\n"
    "  0  done (also after Ctrl+C, SIGTERM or SIGHUP, which end a run after the current frame\n"
    "     and save the memory)\n"
    "  1  the command line is wrong, or an output would overwrite another file of the run\n"
    "  2  an input cannot be read: the video, the memory file, its names, results or truth;\n"
    "     or an object was not taught, its frames lying past the video's end\n"
    "  3  an output cannot be written: the memory file, results, video or plot (what was\n"
    "     learned is still saved)\n"
    "  4  another run holds the memory file\n";

const char kMemoryOptions[] =
    "  -m, --memory FILE    the memory file (default am.dat); its names and taught sizes are\n"
    "                       kept beside it in FILE.names\n"
    "      --prune          save with the pruning save, which drops bases learned three times\n"
    "                       or less (default: keep every base)\n"
    "      --no-guard       turn off the learning guard (on by default: relearning only\n"
    "                       reinforces what an established track supports)\n"
    "      --budget N       keep at most N bases (default 2000; 0 for no budget)\n"
    "      --flip           turn every frame upside down first, as Vizmoro does\n"
    "      --hue-mask       hide the first frame's most common hues, as Vizmoro does (with\n"
    "                       --plain)\n"
    "      --plain          the memory's own search and tracking of earlier versions instead\n"
    "                       of the tracker: the same results and memory as they gave\n"
    "  -q, --quiet          no progress line on a terminal, no summary\n"
    "  -h, --help           this help\n";

const char kTeachHelp[] =
    "usage: vizmoro-cli teach VIDEO --object ID:NAME:X,Y,W,H[@A-B] [--object ...] [OPTIONS]\n"
    "\n"
    "Teaches the memory each object from its box on a range of frames (frames counted from 0,\n"
    "both ends included; default: the first frame only), with warped copies of the box so that\n"
    "one box is enough. The same ID and NAME given again with another box and frame is a key\n"
    "frame: another view of the object. A missing memory file is created for a 64 x 64 area\n"
    "onto which every box is resampled (with --plain: for the first object's box size); what the\n"
    "tracker needs beside the memory (each object's taught size) is kept in FILE.track.\n";

const char kTeachOptions[] =
    "  -o, --object OBJECT  ID (1 to 2147483647), NAME, and the box X,Y,W,H in pixels (4 x 4\n"
    "                       or more, but with --plain); @A-B teaches this object on frames A\n"
    "                       to B, @N on frame N\n"
    "  -f, --frames A-B     the frames of every object without its own range\n"
    "      --select         draw the boxes of objects given as ID:NAME with the mouse, on the\n"
    "                       first frame (needs a display)\n"
    "      --levels N       levels of a new memory (default 3)\n";

const char kTrackHelp[] =
    "usage: vizmoro-cli track VIDEO [--results FILE] [--video FILE] [--no-learn] [--show]\n"
    "                         [OPTIONS]\n"
    "\n"
    "Finds and follows every taught object on every frame, learning as it goes: optical flow\n"
    "predicts where an object went, the memory confirms it there, and an object it does not\n"
    "recognise is absent until it is found again anywhere in the frame. Results are written in\n"
    "the MOT Challenge format, frame,id,x,y,w,h,conf,-1,-1,-1 (frames from 1), one line per\n"
    "object on each frame where it was seen, conf how surely (0 to 1). The memory is saved at\n"
    "the end, also after Ctrl+C.\n"
    "\n"
    "With --plain, the memory's own whole-frame search finds and tracks the objects instead:\n"
    "their most similar track, in the size of the taught box, conf its similarity, as earlier\n"
    "versions gave them; the options marked (--plain) shape it.\n";

const char kTrackOptions[] =
    "  -r, --results FILE   the results (default: standard output); a file is written under a\n"
    "                       temporary name and takes its own when the run ends\n"
    "  -v, --video FILE     an annotated copy of the video (.avi: Motion JPEG, else MPEG-4),\n"
    "                       written the same way\n"
    "      --no-learn       leave the memory as it is (it is still saved)\n"
    "      --show           show the annotated frames in a window; q or Esc ends the run\n"
    "      --seen-only      (--plain) list only objects seen on the frame (by default an\n"
    "                       object not seen is listed where it was last seen, with a falling\n"
    "                       conf); the tracker lists only seen objects\n"
    "      --no-follow-size (--plain) look for objects at the whole-frame sweep's sizes only\n"
    "                       (by default a tracked object is also looked for around its own\n"
    "                       size, from 0.5 to 2 times the taught one)\n"
    "      --no-identities  (--plain) let a match over another object start a track of its own\n"
    "                       (by default the index an object matches best claims it, and\n"
    "                       duplicate tracks merge)\n";

const char kRunHelp[] =
    "usage: vizmoro-cli run VIDEO --object ID:NAME:X,Y,W,H[@A-B] [--object ...] [OPTIONS]\n"
    "\n"
    "Teaches the objects on their frames (default: the first frame only) and tracks them on\n"
    "every other frame, in one pass, as teach and track would. Results are written for the\n"
    "tracked frames.\n";

const char kInspectHelp[] =
    "usage: vizmoro-cli inspect [FILE] [--json]\n"
    "\n"
    "What a memory file holds: its area and levels, the bases per level, the objects with their\n"
    "names, taught sizes and bases, and the count of reads and writes.\n"
    "\n"
    "      --json           the same as JSON\n"
    "  -m, --memory FILE    the memory file, when FILE is not given (default am.dat)\n";

const char kEvalHelp[] =
    "usage: vizmoro-cli eval RESULTS TRUTH [--plot FILE] [--frames A-B] [--json]\n"
    "\n"
    "Scores results against ground truth, per object and overall: the success rate (frames\n"
    "whose boxes overlap with IoU > 0.5), the area under the success plot (the mean success\n"
    "over IoU thresholds 0, 0.05, ..., 1, as the OTB and LaSOT benchmarks score) and the\n"
    "precision at 20 pixels (frames whose centres lie at most 20 pixels apart). Results and\n"
    "truth are matched by object and frame. TRUTH is in the MOT format, or one x,y,w,h line per\n"
    "frame (object 1). A frame on which an object is out of sight (no line, or a box of no\n"
    "size) is not scored; a result there counts as a report while away.\n"
    "\n"
    "  -p, --plot FILE      the success plot as a PNG image\n"
    "  -f, --frames A-B     score only frames A to B (counted from 1, as in the files)\n"
    "      --json           the scores as JSON\n";

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
  // Control characters would break the names file's lines and the JSON of inspect.
  if (rest.empty() || std::any_of(rest.begin(), rest.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
      }))
    return fail("the name must not be empty nor hold control characters (tabs, line breaks)");
  object.name = rest;
  return true;
}

vizmoro::SessionParams SessionParamsOf(const Arguments& a) {
  vizmoro::SessionParams params;
  params.learning.guard = a.guard;
  params.learning.budget = a.budget;
  params.tracking.followSize = a.followSize;
  params.tracking.keepIdentities = a.keepIdentities;
  params.keepAll = !a.prune;
  return params;
}

bool ParseArguments(int argc, const char* const* argv, Arguments& a, std::string& error) {
  a = Arguments();
  if (argc < 2) {
    a.command = Command::kHelp;
    return true;
  }
  const std::string command = argv[1];
  if (command == "teach")
    a.command = Command::kTeach;
  else if (command == "track")
    a.command = Command::kTrack;
  else if (command == "run")
    a.command = Command::kRun;
  else if (command == "inspect")
    a.command = Command::kInspect;
  else if (command == "eval")
    a.command = Command::kEval;
  else if (command == "help" || command == "-h" || command == "--help")
    a.command = Command::kHelp;
  else if (command == "--version")
    a.command = Command::kVersion;
  else {
    error = "unknown command \"" + command + "\"";
    return false;
  }
  if (a.command == Command::kHelp || a.command == Command::kVersion) return true;

  const bool teaches = a.command == Command::kTeach || a.command == Command::kRun;
  const bool tracks = a.command == Command::kTrack || a.command == Command::kRun;
  const bool runs = teaches || tracks;
  std::vector<std::string> positional;
  std::set<std::string> seen;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = option + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto number = [&](long long low, long long high, int& out) {
      std::string text;
      long long parsed = 0;
      if (!value(text)) return false;
      if (!ParseInt(text, low, high, parsed)) {
        error = option + " takes a whole number from " + std::to_string(low) + " to " +
                std::to_string(high);
        return false;
      }
      out = static_cast<int>(parsed);
      return true;
    };
    auto unknown = [&] {
      error = "unknown option " + option + " for " + command;
      return false;
    };
    if (!option.empty() && option[0] == '-' && option != "-" && option != "--object" &&
        option != "-o" && !seen.insert(option).second) {
      error = option + " is given twice";
      return false;
    }
    if (option == "-h" || option == "--help") {
      a.help = true;
    } else if (option == "-q" || option == "--quiet") {
      if (!runs) return unknown();
      a.quiet = true;
    } else if (option == "-m" || option == "--memory") {
      if (a.command == Command::kEval) return unknown();
      if (!value(a.memory)) return false;
    } else if (option == "-o" || option == "--object") {
      if (!teaches) return unknown();
      std::string text;
      ObjectSpec object;
      if (!value(text) || !ParseObject(text, object, error)) return false;
      // The same object again is a key frame: another box on other frames.
      for (const ObjectSpec& other : a.objects)
        if (other.id == object.id && other.name != object.name) {
          error = "object " + std::to_string(object.id) + " is given twice, as \"" + other.name +
                  "\" and as \"" + object.name + "\"";
          return false;
        }
      a.objects.push_back(object);
    } else if (option == "-f" || option == "--frames") {
      if (!teaches && a.command != Command::kEval) return unknown();
      std::string text;
      if (!value(text)) return false;
      if (!ParseRange(text, a.frames)) {
        error = "--frames must read A-B, with A <= B";
        return false;
      }
      a.hasFrames = true;
    } else if (option == "--select") {
      if (!teaches) return unknown();
      a.select = true;
    } else if (option == "--levels") {
      if (!teaches) return unknown();
      if (!number(1, 8, a.levels)) return false;
    } else if (option == "--prune") {
      if (!runs) return unknown();
      a.prune = true;
    } else if (option == "--flip") {
      if (!runs) return unknown();
      a.flip = true;
    } else if (option == "--hue-mask") {
      if (!runs) return unknown();
      a.hueMask = true;
    } else if (option == "--plain") {
      if (!runs) return unknown();
      a.plain = true;
    } else if (option == "--no-guard") {
      if (!runs) return unknown();
      a.guard = false;
    } else if (option == "--budget") {
      if (!runs) return unknown();
      if (!number(0, INT32_MAX, a.budget)) return false;
    } else if (option == "-r" || option == "--results") {
      if (!tracks) return unknown();
      if (!value(a.results)) return false;
    } else if (option == "-v" || option == "--video") {
      if (!tracks) return unknown();
      if (!value(a.outputVideo)) return false;
    } else if (option == "--no-learn") {
      if (!tracks) return unknown();
      a.learn = false;
    } else if (option == "--show") {
      if (!tracks) return unknown();
      a.show = true;
    } else if (option == "--seen-only") {
      if (!tracks) return unknown();
      a.seenOnly = true;
    } else if (option == "--follow-size" || option == "--no-follow-size") {
      if (!tracks) return unknown();
      a.followSize = option == "--follow-size";
    } else if (option == "--no-identities") {
      if (!tracks) return unknown();
      a.keepIdentities = false;
    } else if (option == "--json") {
      if (a.command != Command::kInspect && a.command != Command::kEval) return unknown();
      a.json = true;
    } else if (option == "-p" || option == "--plot") {
      if (a.command != Command::kEval) return unknown();
      if (!value(a.plot)) return false;
    } else if (option.size() > 1 && option[0] == '-' && !(option[1] >= '0' && option[1] <= '9')) {
      return unknown();
    } else {
      positional.push_back(option);
    }
  }
  if (a.help) return true;

  const size_t wanted = a.command == Command::kEval ? 2 : 1;
  if (a.command == Command::kInspect) {
    if (positional.size() > 1) {
      error = "inspect takes one memory file";
      return false;
    }
    if (!positional.empty()) a.memory = positional[0];
    return true;
  }
  if (positional.size() != wanted) {
    error =
        a.command == Command::kEval ? "eval takes RESULTS and TRUTH" : command + " takes one VIDEO";
    return false;
  }
  if (a.command == Command::kEval) {
    a.resultsFile = positional[0];
    a.truthFile = positional[1];
    return true;
  }
  a.video = positional[0];
  if (a.hueMask && !a.plain) {
    error = "--hue-mask needs --plain: the tracker reads whole frames";
    return false;
  }
  if (teaches) {
    if (a.objects.empty()) {
      error = command + " needs at least one --object";
      return false;
    }
    for (ObjectSpec& object : a.objects) {
      if (object.box.empty() && !a.select) {
        error = "object " + std::to_string(object.id) +
                " has no box: give ID:NAME:X,Y,W,H, or --select to draw it";
        return false;
      }
      if (!object.hasRange) object.range = a.hasFrames ? a.frames : FrameRange{0, 0};
    }
  }
  return true;
}

std::string HelpText(Command command) {
  switch (command) {
    case Command::kTeach:
      return std::string(kTeachHelp) + "\n" + kTeachOptions + kMemoryOptions;
    case Command::kTrack:
      return std::string(kTrackHelp) + "\n" + kTrackOptions + kMemoryOptions;
    case Command::kRun:
      return std::string(kRunHelp) + "\n" + kTeachOptions + kTrackOptions + kMemoryOptions;
    case Command::kInspect:
      return kInspectHelp;
    case Command::kEval:
      return kEvalHelp;
    default:
      return kProgramHelp;
  }
}

std::string VersionText() {
  return "vizmoro-cli " VIZMORO_VERSION "\n";
}

}  // namespace vizmoro_cli
