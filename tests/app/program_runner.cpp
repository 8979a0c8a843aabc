#include "program_runner.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

extern char** environ;

namespace vizmoro_test {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> ChildEnvironment(bool windows) {
  static const char* const kDisplayVariables[] = {
      "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    bool drop = false;
    if (!windows)
      for (const char* name : kDisplayVariables)
        if (std::strncmp(*e, name, std::strlen(name)) == 0) drop = true;
    if (!drop) env.emplace_back(*e);
  }
  // No still cameras on USB here: their probe, which the video library also runs for a file
  // name it cannot open, keeps allocations that leak checkers report.
  env.emplace_back("OPENCV_VIDEOIO_PRIORITY_GPHOTO2=0");
  return env;
}

}  // namespace

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args,
                               const fs::path& dir, bool windows,
                               const std::vector<std::string>& env)
    : outPath_(dir / ".stdout"), errPath_(dir / ".stderr") {
  std::vector<std::string> argvStrings{program};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = ChildEnvironment(windows);
  for (const std::string& setting : env) {
    const std::string name = setting.substr(0, setting.find('=') + 1);
    envStrings.erase(std::remove_if(envStrings.begin(), envStrings.end(),
                                    [&](const std::string& e) { return e.rfind(name, 0) == 0; }),
                     envStrings.end());
    envStrings.push_back(setting);
  }
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || chdir(dir.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (pid_ < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
}

RunningProgram::~RunningProgram() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
}

std::string RunningProgram::OutputSoFar() const {
  return ReadFile(outPath_);
}

bool RunningProgram::Running() {
  if (pid_ <= 0 || reaped_) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

void RunningProgram::Signal(int signal) {
  if (pid_ > 0 && !reaped_) kill(pid_, signal);
}

void RunningProgram::WaitUntilCatching(int signal) {
  const std::string status = "/proc/" + std::to_string(pid_) + "/status";
  while (Running()) {
    std::istringstream lines(ReadFile(status));
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("SigCgt:", 0) == 0 &&
          (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1))
        return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

ProgramResult RunningProgram::Wait() {
  ProgramResult result;
  if (pid_ <= 0) return result;
  if (!reaped_) {
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  if (WIFEXITED(status_)) result.exitCode = WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) result.exitCode = 128 + WTERMSIG(status_);
  result.out = ReadFile(outPath_);
  result.err = ReadFile(errPath_);
  return result;
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const fs::path& dir, bool windows, const std::vector<std::string>& env) {
  RunningProgram running(program, args, dir, windows, env);
  return running.Wait();
}

std::string VizmoroPath() {
  return VIZMORO_PROGRAM;
}
std::string ClipMakerPath() {
  return VIZMORO_CLIP_MAKER;
}
std::string CliPath() {
  return VIZMORO_CLI;
}

void MakeClip(const fs::path& dir, const std::string& name, int frames,
              const std::vector<std::string>& extra) {
  std::vector<std::string> args{"--frames", std::to_string(frames), "--output", name};
  args.insert(args.end(), extra.begin(), extra.end());
  const ProgramResult made = RunProgram(ClipMakerPath(), args, dir);
  ASSERT_EQ(made.exitCode, 0) << made.err;
  ASSERT_TRUE(fs::exists(dir / name));
}

CapturedFile::CapturedFile() : file_(std::tmpfile()) {}

CapturedFile::~CapturedFile() {
  if (file_) std::fclose(file_);
}

std::string CapturedFile::Text() {
  std::string text;
  if (!file_) return text;
  std::fflush(file_);
  std::rewind(file_);
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) text.append(buffer, n);
  return text;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

int CountLines(const std::string& text, const std::string& prefix) {
  int count = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.compare(0, prefix.size(), prefix) == 0) ++count;
  return count;
}

std::string ArgumentsName(const std::vector<std::string>& args, size_t index) {
  std::string name = std::to_string(index);
  for (const std::string& arg : args) {
    name += '_';
    for (char c : arg.substr(0, 16)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return name;
}

int CountFrames(const fs::path& clip) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  cv::VideoCapture capture(clip.string());
  if (!capture.isOpened()) return -1;
  int frames = 0;
  cv::Mat frame;
  while (capture.read(frame) && !frame.empty()) ++frames;
  return frames;
}

}  // namespace vizmoro_test
