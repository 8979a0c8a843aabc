// End-to-end runs of the built program, headless, on generated clips.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <vizmoro/associative_memory.hpp>

#include "command_line.hpp"
#include "console_lines.hpp"
#include "program_runner.hpp"

namespace {

namespace fs = std::filesystem;
using vizmoro_test::CountFrames;
using vizmoro_test::CountLines;
using vizmoro_test::MakeClip;
using vizmoro_test::ProgramResult;
using vizmoro_test::ReadFile;
using vizmoro_test::RunningProgram;
using vizmoro_test::RunProgram;
using vizmoro_test::ScratchDir;
using vizmoro_test::VizmoroPath;
using vizmoro_test::WriteFile;

using vizmoro_test::kAviLine;
using vizmoro_test::kFailure;

ProgramResult Vizmoro(const std::vector<std::string>& args, const fs::path& dir) {
  return RunProgram(VizmoroPath(), args, dir);
}

std::string LoadReportOf(const fs::path& file) {
  CvAssociativeMemory memory;
  EXPECT_TRUE(memory.LoadFromFile(file.c_str()));
  std::string text(1024, '\0');
  std::FILE* out = fmemopen(text.data(), text.size(), "w");
  vizmoro::PrintLoadReport(out, "am.dat", memory);
  std::fclose(out);
  return text.c_str();
}

struct StartCase {
  std::vector<std::string> args;
  int exitCode;
  std::string out;
  std::string err;
};

class StartTest : public testing::TestWithParam<StartCase> {};

TEST_P(StartTest, PrintsExactlyAndLeavesNoMemoryFile) {
  const StartCase& c = GetParam();
  ScratchDir dir;
  const ProgramResult run = Vizmoro(c.args, dir.path());
  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(run.out, c.out);
  EXPECT_EQ(run.err, c.err);
  EXPECT_FALSE(fs::exists(dir / "am.dat"));
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, StartTest,
    testing::Values(StartCase{{}, 0, vizmoro::kHelpText, ""},
                    StartCase{{"/?"}, 0, vizmoro::kHelpText, ""},
                    StartCase{{"x/?"}, 0, vizmoro::kHelpText, ""},
                    StartCase{{"/?", "clip.avi"}, kFailure, vizmoro::kOnlyAviMessage, ""},
                    StartCase{{"movie.mpg"}, kFailure, vizmoro::kOnlyAviMessage, ""},
                    StartCase{{"Clip.AVI"}, kFailure, kAviLine + "Can't find file clip.avi\n", ""},
                    StartCase{
                        {"a.avi.avi", "/r"}, kFailure, kAviLine + "Can't find file a.avi\n", ""},
                    StartCase{{std::string(3000, 'L') + ".avi", std::string(3000, '/')},
                              kFailure,
                              kAviLine + "Can't find file " + std::string(3000, 'l') + ".avi\n",
                              ""}),
    vizmoro_test::CaseName<StartCase>);

TEST(StartTest, CameraThatCannotBeOpened) {
  if (fs::exists("/dev/video9")) GTEST_SKIP() << "a capture device 9 exists here";
  ScratchDir dir;
  const ProgramResult run = Vizmoro({"9"}, dir.path());
  EXPECT_EQ(run.exitCode, kFailure);
  EXPECT_EQ(run.out, "Processing capture...\n");
  EXPECT_EQ(run.err, "Could not initialize capturing...\n");
  EXPECT_FALSE(fs::exists(dir / "am.dat"));
}

class FrameSizeTest : public testing::TestWithParam<std::string> {};

TEST_P(FrameSizeTest, FramesSmallerThanTheTeachingRectangleAreRefused) {
  ScratchDir dir;
  MakeClip(dir.path(), "small.avi", 3, {"--size", GetParam()});
  WriteFile(dir / "am.dat", "old memory");
  const ProgramResult run = Vizmoro({"small.avi", "/r"}, dir.path());
  std::string size = GetParam();
  size.replace(size.find('x'), 1, " x ");
  EXPECT_EQ(run.exitCode, kFailure);
  EXPECT_EQ(run.out, kAviLine + "Frames of " + size +
                         " pixels are too small: teaching needs at least 610 x 470.\n");
  EXPECT_EQ(ReadFile(dir / "am.dat"), "old memory");
  EXPECT_FALSE(fs::exists(dir / "small_out.avi"));
}

// Motion JPEG frames have even sides.
INSTANTIATE_TEST_SUITE_P(Sizes, FrameSizeTest, testing::Values("608x480", "640x468"));

TEST(FrameSizeTest, FramesJustHoldingTheTeachingRectangleAreTaught) {
  ScratchDir dir;
  MakeClip(dir.path(), "small.avi", 3, {"--size", "610x470"});
  const ProgramResult run = Vizmoro({"small.avi"}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(CountLines(run.out, "Hitting! "), 3);
}

struct RecordingCase {
  std::vector<std::string> args;
  const char* output;  // the output video expected, or null
};

class RecordingTest : public testing::TestWithParam<RecordingCase> {};

TEST_P(RecordingTest, WritesTheOutputOnlyWhenAsked) {
  const RecordingCase& c = GetParam();
  ScratchDir dir;
  MakeClip(dir.path(), "clip.avi", 1);
  const ProgramResult run = Vizmoro(c.args, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
  for (const char* name : {"clip_out.avi", "_out.avi"})
    EXPECT_EQ(fs::exists(dir / name), c.output && std::string(c.output) == name) << name;
  if (c.output) {
    EXPECT_EQ(CountFrames(dir / c.output), 1);
  }
}

// A clip without frames learns nothing, says so and leaves the memory file alone.
TEST(RunTest, ClipWithoutFramesLeavesTheMemoryFileAsItWas) {
  ScratchDir dir;
  MakeClip(dir.path(), "clip.avi", 0);
  for (bool existing : {false, true}) {
    if (existing) WriteFile(dir / "am.dat", "old memory");
    const ProgramResult run = Vizmoro({"clip.avi", "/r"}, dir.path());
    EXPECT_EQ(run.exitCode, kFailure);
    EXPECT_EQ(run.out, kAviLine +
                           "No frame could be read from clip.avi: the memory file am.dat is left "
                           "as it was.\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(fs::exists(dir / "am.dat"), existing);
    if (existing) {
      EXPECT_EQ(ReadFile(dir / "am.dat"), "old memory");
    }
    EXPECT_FALSE(fs::exists(dir / "clip_out.avi"));
  }
}

INSTANTIATE_TEST_SUITE_P(Options, RecordingTest,
                         testing::Values(RecordingCase{{"clip.avi"}, nullptr},
                                         RecordingCase{{"Clip.AVI", "/r"}, "clip_out.avi"},
                                         RecordingCase{{"clip.avi", "/R"}, nullptr},
                                         RecordingCase{{"clip.avi", "x/ry"}, "clip_out.avi"},
                                         RecordingCase{{"clip.avi", "/", "r"}, "clip_out.avi"}),
                         vizmoro_test::CaseName<RecordingCase>);

TEST(RecordingTest, RunGoesOnWhenNoWriterOpens) {
  ScratchDir dir;
  MakeClip(dir.path(), "clip.avi", 2);
  fs::create_directory(dir / "clip_out.avi");  // no video file can be written there
  const ProgramResult run = Vizmoro({"clip.avi", "/r"}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(
      run.out.rfind(kAviLine + "Could not open the output video clip_out.avi: going on without "
                               "writing it.\nHitting! ",
                    0),
      0u)
      << run.out;
  EXPECT_EQ(CountLines(run.out, "Hitting! "), 2);
  EXPECT_TRUE(fs::exists(dir / "am.dat"));
}

TEST(RunTest, TeachesFourHundredFramesThenTracksAndKeepsTheMemory) {
  constexpr int kFrames = 404;
  ScratchDir dir;
  MakeClip(dir.path(), "clip.avi", kFrames);
  MakeClip(dir.path(), "one.avi", 1);

  const ProgramResult first = Vizmoro({"clip.avi", "/r"}, dir.path());
  ASSERT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(first.out.rfind(kAviLine + "Hitting! Index = ", 0), 0u) << "no load report";
  EXPECT_EQ(CountLines(first.out, "Hitting! "), 400);
  EXPECT_EQ(CountLines(first.out, "==> film current position: "), kFrames);
  // Tracking starts with frame 401: the object still sits where it was taught.
  const size_t lastHitting = first.out.rfind("Hitting! ");
  const std::string tracking = first.out.substr(lastHitting);
  EXPECT_EQ(CountLines(tracking, "G-T Obj: [Hand-open] "), kFrames - 400) << tracking;
  EXPECT_EQ(first.out.find("G-T "), first.out.find("G-T ", first.out.find("Hitting! ", 0)));
  EXPECT_EQ(CountFrames(dir / "clip_out.avi"), kFrames);
  ASSERT_TRUE(fs::exists(dir / "am.dat"));
  const std::string report = LoadReportOf(dir / "am.dat");

  // The next run starts from the saved, pruned memory.
  const ProgramResult second = Vizmoro({"one.avi"}, dir.path());
  EXPECT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(second.out.rfind(kAviLine + report + "Hitting! ", 0), 0u) << second.out;
}

TEST(RunTest, UnloadableMemoryFileIsKeptAside) {
  ScratchDir dir;
  MakeClip(dir.path(), "one.avi", 1);
  WriteFile(dir / "am.dat", "AMv0.1 something else");
  const ProgramResult run = Vizmoro({"one.avi"}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(
      run.out.rfind(kAviLine + "Memory file am.dat cannot be loaded (not a memory file, or cut "
                               "short): kept as am.dat.bak, starting a new memory.\nHitting! ",
                    0),
      0u)
      << run.out;
  EXPECT_EQ(ReadFile(dir / "am.dat.bak"), "AMv0.1 something else");
  CvAssociativeMemory saved;
  EXPECT_TRUE(saved.LoadFromFile((dir / "am.dat").c_str()));
}

class InterruptTest : public testing::TestWithParam<int> {};

TEST_P(InterruptTest, StopsAfterTheFrameAndSavesTheMemory) {
  constexpr int kFrames = 404;
  ScratchDir dir;
  MakeClip(dir.path(), "clip.avi", kFrames);
  RunningProgram running(VizmoroPath(), {"clip.avi"}, dir.path());
  // Standard output goes to a file in blocks: wait for the first block of teaching lines.
  while (running.Running() && running.OutputSoFar().find("Hitting!") == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  running.Signal(GetParam());
  const ProgramResult run = running.Wait();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const int frames = CountLines(run.out, "==> film current position: ");
  EXPECT_LT(frames, kFrames) << "the signal came after the end of the clip";
  EXPECT_EQ(CountLines(run.out, "Hitting! "), frames);
  EXPECT_EQ(run.out.substr(run.out.size() - 1), "\n") << "the last frame was completed";
  CvAssociativeMemory saved;
  ASSERT_TRUE(saved.LoadFromFile((dir / "am.dat").c_str()));
  EXPECT_GT(saved.GetNodeCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptTest, testing::Values(SIGINT, SIGTERM, SIGHUP));

}  // namespace
