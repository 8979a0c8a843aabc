// vizmoro-cli: teach an associative memory objects in a video, track them in any video, write
// results in the MOT Challenge format, and score them against ground truth.
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "arguments.hpp"
#include "evaluation.hpp"
#include "memory_report.hpp"
#include "output_files.hpp"
#include "session.hpp"
#include "show.hpp"

namespace {

using namespace vizmoro_cli;

int Evaluate(const Arguments& a) {
  for (const std::string* input : {&a.resultsFile, &a.truthFile})
    if (vizmoro::SameFile(a.plot, *input)) {
      std::fprintf(stderr, "vizmoro-cli: the plot %s is %s %s: it would be overwritten\n",
                   a.plot.c_str(), input == &a.truthFile ? "the truth" : "the results",
                   input->c_str());
      return kExitUsage;
    }
  std::vector<Detection> results, truth;
  std::string error;
  if (!ReadDetections(a.resultsFile, results, error) ||
      !ReadDetections(a.truthFile, truth, error)) {
    std::fprintf(stderr, "vizmoro-cli: %s\n", error.c_str());
    return kExitInput;
  }
  if (truth.empty()) {
    std::fprintf(stderr, "vizmoro-cli: %s holds no truth\n", a.truthFile.c_str());
    return kExitInput;
  }
  // --frames counts from 0, as the video does; the files count from 1.
  const FrameRange inFiles{a.frames.first + 1, a.frames.last + (a.frames.last < INT_MAX)};
  const Evaluation evaluation =
      vizmoro_cli::Evaluate(results, truth, a.hasFrames ? &inFiles : nullptr);
  std::fputs((a.json ? FormatJson(evaluation) : FormatTable(evaluation)).c_str(), stdout);
  if (!a.plot.empty() && !WriteSuccessPlot(evaluation, a.plot, error)) {
    std::fprintf(stderr, "vizmoro-cli: %s\n", error.c_str());
    return kExitOutput;
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitOutput;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  std::string error;
  if (!ParseArguments(argc, argv, arguments, error)) {
    std::fprintf(stderr, "vizmoro-cli: %s\n(see vizmoro-cli --help)\n", error.c_str());
    return kExitUsage;
  }
  if (arguments.command == Command::kVersion) {
    std::fputs(VersionText().c_str(), stdout);
    return kExitOk;
  }
  if (arguments.command == Command::kHelp || arguments.help) {
    std::fputs(
        HelpText(arguments.command == Command::kHelp ? Command::kNone : arguments.command).c_str(),
        stdout);
    return kExitOk;
  }
  switch (arguments.command) {
    case Command::kInspect:
      try {
        return Inspect(arguments, stdout, stderr);
      } catch (const cv::Exception& e) {
        // A memory the engine refuses to make (an instruction set forced that this processor
        // lacks).
        std::fprintf(stderr, "vizmoro-cli: %s\n", e.what());
        return kExitInput;
      }
    case Command::kEval:
      return Evaluate(arguments);
    case Command::kShow:
      return Show(arguments, stderr);
    default:
      return RunSession(arguments, stdout, stderr);
  }
}
