#include "arguments.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>

namespace vizmoro_cli {

namespace {

// The commands an option belongs to, as bits.
enum : unsigned {
  kProgram = 1u << 0,  // before any command: vizmoro-cli --help
  kTeach = 1u << 1,
  kTrack = 1u << 2,
  kRun = 1u << 3,
  kInspect = 1u << 4,
  kEval = 1u << 5,
  kShow = 1u << 6,
  kTeaches = kTeach | kRun,
  kTracks = kTrack | kRun,
  kRuns = kTeach | kTrack | kRun,
};

struct CommandInfo {
  Command command;
  unsigned bit;
  const char* name;
  const char* synopsis;  // in the program's list of commands
  const char* summary;
  const char* usage;  // after "usage: vizmoro-cli "
  const char* description;
};

const CommandInfo kCommands[] = {
    {Command::kTeach, kTeach, "teach", "teach VIDEO --object ID:NAME:X,Y,W,H ...",
     "teach objects from their boxes",
     "teach VIDEO --object ID:NAME:X,Y,W,H[@A-B] [--object ...] [OPTIONS]",
     "Teaches the memory each object from its box on a range of frames (frames counted from 0,\n"
     "both ends included; default: the first frame only), with warped copies of the box so that\n"
     "one box is enough. The same ID and NAME given again with another box and frame is a key\n"
     "frame: another view of the object. A missing memory file is created for a 64 x 64 area\n"
     "onto which every box is resampled (with --plain: for the first object's box size); what the\n"
     "tracker needs beside the memory (each object's taught size) is kept in FILE.track.\n"},
    {Command::kTrack, kTrack, "track", "track VIDEO", "find and track every taught object",
     "track VIDEO [--results FILE] [--video FILE] [--frames A-B] [--no-learn]\n"
     "                         [--show] [OPTIONS]",
     "Finds and follows every taught object on every frame, learning as it goes: optical flow\n"
     "predicts where an object went, the memory confirms it there, and an object it does not\n"
     "recognise is absent until it is found again anywhere in the frame. Results are written in\n"
     "the MOT Challenge format, frame,id,x,y,w,h,conf,-1,-1,-1 (frames from 1), one line per\n"
     "object on each frame where it was seen (and, with --coast, on the frames after it where it\n"
     "was not), conf how surely (0 to 1). The memory is saved at the end, also after Ctrl+C.\n"
     "\n"
     "With --plain, the memory's own whole-frame search finds and tracks the objects instead:\n"
     "their most similar track, in the size of the taught box, conf its similarity, as earlier\n"
     "versions gave them, an object not seen listed for 40 frames (see --coast); the options\n"
     "marked (--plain) shape it.\n"},
    {Command::kRun, kRun, "run", "run VIDEO --object ...", "teach on some frames, track the rest",
     "run VIDEO --object ID:NAME:X,Y,W,H[@A-B] [--object ...] [OPTIONS]",
     "Teaches the objects on their frames (default: the first frame only) and tracks them on\n"
     "every other frame, in one pass, as teach and track would. Results are written for the\n"
     "tracked frames; the annotated video holds every frame, the taught ones with their boxes\n"
     "labelled \"taught\".\n"},
    {Command::kInspect, kInspect, "inspect", "inspect [FILE]", "what a memory file holds",
     "inspect [FILE] [--json]",
     "What a memory file holds: its area and levels, the bases per level, the objects with their\n"
     "names, taught sizes and bases, and the count of reads and writes. FILE is the memory file\n"
     "(default: --memory's).\n"},
    {Command::kEval, kEval, "eval", "eval RESULTS TRUTH", "score results against ground truth",
     "eval RESULTS TRUTH [--plot FILE] [--frames A-B] [--json]",
     "Scores results against ground truth, per object and overall: the success rate (frames\n"
     "whose boxes overlap with IoU > 0.5), the area under the success plot (the mean success\n"
     "over IoU thresholds 0, 0.05, ..., 1, as the OTB and LaSOT benchmarks score) and the\n"
     "precision at 20 pixels (frames whose centres lie at most 20 pixels apart). Results and\n"
     "truth are matched by object and frame. TRUTH is in the MOT format, or one x,y,w,h line per\n"
     "frame (object 1). A frame on which an object is out of sight (no line, or a box of no\n"
     "size) is not scored; a result there counts as a report while away.\n"},
    {Command::kShow, kShow, "show", "show VIDEO --output FILE ...",
     "draw boxes or results on a video",
     "show VIDEO --object ID:NAME:X,Y,W,H [--object ...] --frame N --output FILE.png\n"
     "       vizmoro-cli show VIDEO --results FILE [--truth FILE] --output FILE.mp4\n"
     "                        [OPTIONS]",
     "Draws boxes on a video, to check them: the boxes of --object (as teach and run take them)\n"
     "and the boxes of a results file (as track writes it), with a truth file (as eval reads it)\n"
     "in thin white. With --frame N, frame N (from 0) is drawn into an image (PNG, JPEG, ...);\n"
     "without, every frame is drawn into a video (.avi: Motion JPEG, else MPEG-4), written\n"
     "under a temporary name and given its own at the end.\n"},
};

const char kProgramUsage[] = "COMMAND [OPTIONS]";

const char kProgramDescription[] =
    "Teach an associative memory your own objects in a video, then find and track them in any\n"
    "video; the memory is kept in a file and goes on learning from run to run.\n";

const char kProgramFooter[] =
    "'vizmoro-cli COMMAND --help' explains a command.\n"
    "\n"
    "VIDEO is anything the video library opens: a file of any name, a URL, an image sequence\n"
    "such as frames/%05d.png, a GStreamer pipeline, or a camera index (0, 1, ...).\n"
    "\n"
    "exit codes:\n"
    "  0  done (also after Ctrl+C, SIGTERM or SIGHUP, which end a run after the current frame\n"
    "     and save the memory)\n"
    "  1  the command line is wrong, or an output would overwrite another file of the run\n"
    "  2  an input cannot be read: the video, the memory file, its names, results or truth;\n"
    "     or an object was not taught, its frames lying past the video's end, or a frame to\n"
    "     draw on or show lies past it\n"
    "  3  an output cannot be written: the memory file, results, video or plot (what was\n"
    "     learned is still saved)\n"
    "  4  another run holds the memory file\n";

// A command line refused, with the reason as the user reads it.
struct Refusal {
  std::string message;
};

int Number(const std::string& option, const std::string& text, long long low, long long high) {
  long long value = 0;
  if (!ParseInt(text, low, high, value))
    throw Refusal{option + " takes a whole number from " + std::to_string(low) + " to " +
                  std::to_string(high)};
  return static_cast<int>(value);
}

void AddObject(Arguments& a, const std::string&, const std::string& text) {
  ObjectSpec object;
  std::string error;
  if (!ParseObject(text, object, error)) throw Refusal{error};
  // The same object again is a key frame: another box on other frames.
  for (const ObjectSpec& other : a.objects)
    if (other.id == object.id && other.name != object.name)
      throw Refusal{"object " + std::to_string(object.id) + " is given twice, as \"" + other.name +
                    "\" and as \"" + object.name + "\""};
  a.objects.push_back(object);
}

void SetFrames(Arguments& a, const std::string&, const std::string& text) {
  if (!ParseRange(text, a.frames)) throw Refusal{"--frames must read A-B, with A <= B"};
  a.hasFrames = true;
}

// What an option does with its value (empty for a flag); `option` is its long name.
using Apply =
    std::function<void(Arguments& a, const std::string& option, const std::string& value)>;

Apply Sets(bool Arguments::*flag, bool to) {
  return [flag, to](Arguments& a, const std::string&, const std::string&) { a.*flag = to; };
}

Apply Keeps(std::string Arguments::*text) {
  return [text](Arguments& a, const std::string&, const std::string& v) { a.*text = v; };
}

Apply Counts(int Arguments::*number, long long low, long long high) {
  return [=](Arguments& a, const std::string& option, const std::string& v) {
    a.*number = Number(option, v, low, high);
  };
}

// Every option of every command, in the order of the help.
struct OptionInfo {
  const char* names;  // "-m,--memory"
  const char* value;  // the value's name in the help; nullptr for a flag
  unsigned commands;
  const char* group;  // the heading of the option in the help of teach, track and run
  const char* help;
  Apply apply;
  bool repeats = false;  // may be given more than once
};

constexpr char kTeaching[] = "teaching", kTracking[] = "tracking", kMemory[] = "memory and run";

const OptionInfo kOptions[] = {
    {"-o,--object", "OBJECT", kTeaches, kTeaching,
     "ID (1 to 2147483647), NAME, and the box X,Y,W,H in pixels (4 x 4\n"
     "or more, but with --plain); @A-B teaches this object on frames A\n"
     "to B, @N on frame N; given again for each object and key frame",
     AddObject, true},
    {"-o,--object", "OBJECT", kShow, nullptr,
     "a box to draw: ID, NAME and X,Y,W,H in pixels (@A-B is read and\n"
     "left aside); given again for each box",
     AddObject, true},
    {"-f,--frames", "A-B", kTeaches, kTeaching, "the frames of every object without its own",
     SetFrames},
    {"-f,--frames", "A-B", kTrack, kTracking,
     "track only frames A to B (counted from 0; the frames before are\n"
     "passed by, as in the annotated video)",
     SetFrames},
    {"--select", nullptr, kTeaches, kTeaching,
     "draw the boxes of objects given as ID:NAME[@A-B] with the mouse, on\n"
     "the object's first frame (needs a display); n/p step a frame, ]/[\n"
     "ten, Enter or Space accept, c cancels. The box is printed as an\n"
     "--object argument; an object without frames of its own is taught\n"
     "on the frame its box was drawn on",
     Sets(&Arguments::select, true)},
    {"--select-frame", "N", kTeaches, kTeaching,
     "with --select, show frame N (from 0) first instead",
     Counts(&Arguments::selectFrame, 0, INT32_MAX)},
    {"--levels", "N", kTeaches, kTeaching, "levels of a new memory (default 3)",
     Counts(&Arguments::levels, 1, 8)},
    {"-r,--results", "FILE", kTracks, kTracking,
     "the results (default: standard output); a file is written under a\n"
     "temporary name and takes its own when the run ends",
     Keeps(&Arguments::results)},
    {"-v,--video", "FILE", kTracks, kTracking,
     "an annotated copy of the video (.avi: Motion JPEG, else MPEG-4),\n"
     "written the same way",
     Keeps(&Arguments::outputVideo)},
    {"--no-learn", nullptr, kTracks, kTracking, "leave the memory as it is (it is still saved)",
     Sets(&Arguments::learn, false)},
    {"--show", nullptr, kTracks, kTracking,
     "show the annotated frames in a window; q or Esc ends the run", Sets(&Arguments::show, true)},
    {"--coast", "N", kTracks, kTracking,
     "list an object not seen for up to N tracked frames after the last\n"
     "one it was seen on, in the box it had there, its conf halved on\n"
     "each frame and drawn thin and grey (default 0: seen objects only;\n"
     "with --plain 40, as long as the memory keeps a track: at most 40)",
     Counts(&Arguments::coast, 0, INT32_MAX)},
    {"--seen-only", nullptr, kTracks, kTracking,
     "list only objects seen on the frame: --coast 0 (not with --coast)",
     Sets(&Arguments::seenOnly, true)},
    {"--no-follow-size", nullptr, kTracks, kTracking,
     "(--plain) look for objects at the whole-frame sweep's sizes only\n"
     "(by default a tracked object is also looked for around its own\n"
     "size, from 0.5 to 2 times the taught one)",
     Sets(&Arguments::followSize, false)},
    {"--follow-size", nullptr, kTracks, kTracking,
     "(--plain) follow sizes, as by default (undoes an earlier\n"
     "--no-follow-size)",
     Sets(&Arguments::followSize, true)},
    {"--no-identities", nullptr, kTracks, kTracking,
     "(--plain) let a match over another object start a track of its\n"
     "own (by default the index an object matches best claims it, and\n"
     "duplicate tracks merge)",
     Sets(&Arguments::keepIdentities, false)},
    {"-m,--memory", "FILE", kRuns | kInspect, kMemory,
     "the memory file (default am.dat); its names and taught sizes are\n"
     "kept beside it in FILE.names",
     Keeps(&Arguments::memory)},
    {"--prune", nullptr, kRuns, kMemory,
     "save with the pruning save, which drops bases learned three times\n"
     "or less (default: keep every base)",
     Sets(&Arguments::prune, true)},
    {"--no-guard", nullptr, kRuns, kMemory,
     "turn off the learning guard (on by default: relearning only\n"
     "reinforces what an established track supports)",
     Sets(&Arguments::guard, false)},
    {"--budget", "N", kRuns, kMemory, "keep at most N bases (default 2000; 0 for no budget)",
     Counts(&Arguments::budget, 0, INT32_MAX)},
    {"--flip", nullptr, kRuns | kShow, kMemory,
     "turn every frame upside down first, as Vizmoro does (recorded\n"
     "beside the memory: a run on it that differs warns)",
     Sets(&Arguments::flip, true)},
    {"--hue-mask", nullptr, kRuns, kMemory,
     "hide the first frame's most common hues, as Vizmoro does (with\n"
     "--plain; recorded and warned of as --flip is)",
     Sets(&Arguments::hueMask, true)},
    {"--plain", nullptr, kRuns, kMemory,
     "the memory's own search and tracking of earlier versions instead\n"
     "of the tracker: the same results and memory as they gave",
     Sets(&Arguments::plain, true)},
    {"-q,--quiet", nullptr, kRuns, kMemory, "no progress line on a terminal, no summary",
     Sets(&Arguments::quiet, true)},
    {"-p,--plot", "FILE", kEval, nullptr, "the success plot as a PNG image",
     Keeps(&Arguments::plot)},
    {"-r,--results", "FILE", kShow, nullptr, "results to draw, in the MOT format (frames from 1)",
     Keeps(&Arguments::resultsFile)},
    {"-t,--truth", "FILE", kShow, nullptr, "ground truth to draw, in any format eval reads",
     Keeps(&Arguments::truthFile)},
    {"--frame", "N", kShow, nullptr, "draw frame N only (from 0), into an image",
     Counts(&Arguments::frame, 0, INT32_MAX)},
    {"--output", "FILE", kShow, nullptr, "the image (with --frame) or the video that is drawn",
     Keeps(&Arguments::output)},
    {"-f,--frames", "A-B", kEval, nullptr,
     "score only frames A to B (counted from 0, as --frames of teach,\n"
     "track and run; the files count from 1)",
     SetFrames},
    {"--json", nullptr, kInspect | kEval, nullptr, "the output as JSON",
     Sets(&Arguments::json, true)},
    {"-h,--help", nullptr, kProgram | kRuns | kInspect | kEval | kShow, kMemory, "this help",
     Sets(&Arguments::help, true)},
    {"--version", nullptr, kProgram, nullptr, "print the version",
     [](Arguments& a, const std::string&, const std::string&) { a.command = Command::kVersion; }},
};

// The help: the usage first, then what the command does, its options by group and, for the
// program, its commands.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override {
    const CommandInfo* command = Find(app);
    // One blank line between groups, where CLI11 leaves two.
    const std::string groups =
        CLI::detail::find_and_replace(make_groups(app, mode), "\n\n\n", "\n\n");
    std::string text = std::string("usage: vizmoro-cli ") +
                       (command ? command->usage : kProgramUsage) + "\n\n" +
                       app->get_description() + groups + make_subcommands(app, mode);
    const std::string footer = app->get_footer();
    return footer.empty() ? text : text + "\n" + footer;
  }
  std::string make_subcommand(const CLI::App* sub) const override {
    const CommandInfo* command = Find(sub);
    std::stringstream out;
    CLI::detail::format_help(out, command->synopsis, command->summary, 45);
    return out.str();
  }

 private:
  static const CommandInfo* Find(const CLI::App* app) {
    for (const CommandInfo& c : kCommands)
      if (app->get_name() == c.name) return &c;
    return nullptr;
  }
};

// The options of the program and its commands, applied to `a` as they are parsed.
std::unique_ptr<CLI::App> MakeApp(Arguments& a) {
  auto app = std::make_unique<CLI::App>(kProgramDescription, "vizmoro-cli");
  auto formatter = std::make_shared<HelpFormatter>();
  formatter->column_width(23);
  app->formatter(formatter);
  app->set_help_flag();  // -h and --help are options of the table, which never end a parse
  std::vector<std::pair<CLI::App*, unsigned>> apps{{app.get(), kProgram}};
  for (const CommandInfo& c : kCommands) {
    CLI::App* sub = app->add_subcommand(c.name, c.description);
    sub->group("commands");
    sub->set_help_flag();
    apps.emplace_back(sub, c.bit);
  }
  app->require_subcommand(0, 1);
  app->footer(kProgramFooter);  // set after the commands, which would take it over
  for (const auto& [target, bit] : apps) {
    for (const OptionInfo& info : kOptions) {
      if (!(info.commands & bit)) continue;
      // Each use is applied as it is read, so that the first fault on the line is the one told.
      const std::string names = info.names, name = names.substr(names.find("--"));
      CLI::Option* option =
          info.value
              ? target->add_option_function<std::string>(
                    names, [&a, &info, name](const std::string& v) { info.apply(a, name, v); },
                    info.help)
              : target->add_flag_callback(
                    names, [&a, &info, name] { info.apply(a, name, std::string()); }, info.help);
      if (info.value) option->type_name(info.value);
      option->trigger_on_parse();
      if (info.repeats) option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
      option->group(bit & kRuns ? std::string(info.group) + " options" : "options");
    }
  }
  return app;
}

// "-x" and "--xyz" read as options; "-" and negative numbers do not.
bool LooksLikeOption(const std::string& token) {
  return token.size() > 1 && token[0] == '-' && !(token[1] >= '0' && token[1] <= '9');
}

// Reads the words after the command: its options through `app` (whose callbacks fill the
// arguments as they come), and the positional arguments, which it returns. Throws Refusal.
//
// CLI11 is given each option by its long name followed by its value, taken as it is (a value
// may start with '-'). The first word that is no option of the command, or an option given twice
// or without its value, ends the line: what comes before it is still read, so that its faults
// are told first.
std::vector<std::string> ReadOptions(CLI::App& app, const CLI::App& sub, int argc,
                                     const char* const* argv) {
  const std::string command = sub.get_name();
  std::vector<std::string> options{command}, positional;
  std::set<std::string> seen;
  std::string fault;
  for (int i = 2; i < argc && fault.empty(); ++i) {
    const std::string token = argv[i];
    const CLI::Option* option = LooksLikeOption(token) ? sub.get_option_no_throw(token) : nullptr;
    const bool repeats =
        option && option->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll;
    if (token.size() > 1 && token[0] == '-' && !repeats && !seen.insert(token).second) {
      fault = token + " is given twice";
    } else if (option) {
      const bool takesValue = option->get_items_expected_max() != 0;
      if (takesValue && i + 1 >= argc) {
        fault = token + " needs a value";
      } else {
        options.push_back(option->get_name());
        if (takesValue) options.push_back(argv[++i]);
      }
    } else if (LooksLikeOption(token)) {
      fault = "unknown option " + token + " for " + command;
    } else {
      positional.push_back(token);
    }
  }
  std::reverse(options.begin(), options.end());
  try {
    app.parse(options);
  } catch (const CLI::ParseError& e) {  // a line the table cannot hold; not to be seen
    throw Refusal{e.what()};
  }
  if (!fault.empty()) throw Refusal{fault};
  return positional;
}

// Puts the positional arguments in their places and checks what the options need together.
// Throws Refusal.
void Complete(Arguments& a, const std::string& command,
              const std::vector<std::string>& positional) {
  if (a.command == Command::kInspect) {
    if (positional.size() > 1) throw Refusal{"inspect takes one memory file"};
    if (!positional.empty()) a.memory = positional[0];
    return;
  }
  if (positional.size() != (a.command == Command::kEval ? 2u : 1u))
    throw Refusal{a.command == Command::kEval ? "eval takes RESULTS and TRUTH"
                                              : command + " takes one VIDEO"};
  if (a.command == Command::kEval) {
    a.resultsFile = positional[0];
    a.truthFile = positional[1];
    return;
  }
  a.video = positional[0];
  if (a.command == Command::kShow) {
    if (a.output.empty()) throw Refusal{"show needs --output FILE"};
    if (a.objects.empty() && a.resultsFile.empty() && a.truthFile.empty())
      throw Refusal{"show needs boxes to draw: --object, --results or --truth"};
    for (const ObjectSpec& object : a.objects)
      if (object.box.empty())
        throw Refusal{"object " + std::to_string(object.id) + " has no box: give ID:NAME:X,Y,W,H"};
    return;
  }
  if (a.hueMask && !a.plain)
    throw Refusal{"--hue-mask needs --plain: the tracker reads whole frames"};
  if (a.seenOnly && a.coast >= 0) throw Refusal{"--seen-only is --coast 0: give one of them"};
  if (a.seenOnly) a.coast = 0;
  if (a.command != Command::kTeach && a.command != Command::kRun) return;
  if (a.objects.empty()) throw Refusal{command + " needs at least one --object"};
  if (a.selectFrame >= 0 && !a.select) throw Refusal{"--select-frame needs --select"};
  for (ObjectSpec& object : a.objects) {
    if (object.box.empty() && !a.select)
      throw Refusal{"object " + std::to_string(object.id) +
                    " has no box: give ID:NAME:X,Y,W,H, or --select to draw it"};
    if (!object.hasRange) object.range = a.hasFrames ? a.frames : FrameRange{0, 0};
  }
}

}  // namespace

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
  const std::unique_ptr<CLI::App> app = MakeApp(a);
  // The program's own options stand alone; whatever follows them is not read.
  if (command == "help" || (LooksLikeOption(command) && app->get_option_no_throw(command))) {
    if (command != "help") app->parse(std::vector<std::string>{command});
    const bool version = a.command == Command::kVersion;
    a = Arguments();
    a.command = version ? Command::kVersion : Command::kHelp;
    return true;
  }
  CLI::App* sub = nullptr;
  for (const CommandInfo& c : kCommands)
    if (command == c.name) {
      sub = app->get_subcommand(c.name);
      a.command = c.command;
    }
  if (!sub) {
    error = "unknown command \"" + command + "\"";
    return false;
  }
  try {
    const std::vector<std::string> positional = ReadOptions(*app, *sub, argc, argv);
    if (!a.help) Complete(a, command, positional);
  } catch (const Refusal& refusal) {
    error = refusal.message;
    return false;
  }
  return true;
}

std::string HelpText(Command command) {
  Arguments unused;
  const std::unique_ptr<CLI::App> app = MakeApp(unused);
  for (const CommandInfo& c : kCommands)
    if (c.command == command) return app->get_subcommand(c.name)->help();
  return app->help();
}

std::string VersionText() {
  return "vizmoro-cli " VIZMORO_VERSION "\n";
}

}  // namespace vizmoro_cli
