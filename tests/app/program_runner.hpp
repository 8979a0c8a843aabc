// Runs the built Vizmoro program and the clip generator in a scratch directory.
#ifndef VIZMORO_TESTS_APP_PROGRAM_RUNNER_HPP
#define VIZMORO_TESTS_APP_PROGRAM_RUNNER_HPP

#include <sys/types.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../scratch_dir.hpp"

namespace vizmoro_test {

constexpr int kFailure = 255;  // the Vizmoro program's exit code -1
inline const std::string kAviLine = "Processing avi file...\n";

struct ProgramResult {
  int exitCode = -1;  // the exit status (0..255), or 128 + signal when killed
  std::string out;
  std::string err;
};

// A program started in `dir` with standard output and error going to files there.
// `windows` false removes every variable that would let it reach a display; `env` holds
// "NAME=value" settings added after that.
class RunningProgram {
 public:
  RunningProgram(const std::string& program, const std::vector<std::string>& args,
                 const std::filesystem::path& dir, bool windows = false,
                 const std::vector<std::string>& env = {});
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  pid_t pid() const { return pid_; }
  // What the program has written to standard output so far.
  std::string OutputSoFar() const;
  // Whether it is still running (reaps it when it has ended).
  bool Running();
  void Signal(int signal);
  // Waits until the program has a handler for `signal` (or has ended).
  void WaitUntilCatching(int signal);
  // Waits for the end and collects the output.
  ProgramResult Wait();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::filesystem::path outPath_;
  std::filesystem::path errPath_;
};

// Runs the program to its end.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::filesystem::path& dir, bool windows = false,
                         const std::vector<std::string>& env = {});

// The programs built with this suite: Vizmoro, the clip generator and vizmoro-cli.
std::string VizmoroPath();
std::string ClipMakerPath();
std::string CliPath();

// Writes `name` (and its ground truth beside it) into `dir` with the generator; extra options
// such as {"--size", "320x240"} are passed on. Fails the test on error.
void MakeClip(const std::filesystem::path& dir, const std::string& name, int frames,
              const std::vector<std::string>& extra = {});

// A temporary file to hand to code that prints to a FILE*, read back as text.
class CapturedFile {
 public:
  CapturedFile();
  ~CapturedFile();
  CapturedFile(const CapturedFile&) = delete;
  CapturedFile& operator=(const CapturedFile&) = delete;
  std::FILE* get() { return file_; }
  std::string Text();

 private:
  std::FILE* file_;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
// Lines of `text` that start with `prefix`.
int CountLines(const std::string& text, const std::string& prefix);
// Frames that the video library reads from `clip`.
int CountFrames(const std::filesystem::path& clip);

// A test name made of a case's command-line arguments, "3_clip_avi__r" for case 3 with
// {"clip.avi", "/r"}.
std::string ArgumentsName(const std::vector<std::string>& args, size_t index);

template <class Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
  return ArgumentsName(info.param.args, info.index);
}

}  // namespace vizmoro_test

#endif  // VIZMORO_TESTS_APP_PROGRAM_RUNNER_HPP
