#include "command_line.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program_runner.hpp"

namespace {

using vizmoro::CommandLine;
using Action = CommandLine::Action;

CommandLine Parse(std::vector<std::string> args) {
  std::vector<const char*> argv{"Vizmoro"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  return vizmoro::ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

struct LineCase {
  std::vector<std::string> args;
  Action action;
  int device;
  std::string fileName;
  std::string baseName;
  std::string outputName;
  bool recording;
  bool guarded = false;
};

class CommandLineTest : public testing::TestWithParam<LineCase> {};

TEST_P(CommandLineTest, ParsesAsTheProgramReadsIt) {
  const LineCase& c = GetParam();
  const CommandLine line = Parse(c.args);
  ASSERT_EQ(line.action, c.action);
  if (c.action != Action::kCamera && c.action != Action::kFile) return;
  EXPECT_EQ(line.recording, c.recording);
  EXPECT_EQ(line.guarded, c.guarded);
  EXPECT_EQ(line.outputName, c.outputName);
  if (c.action == Action::kCamera) {
    EXPECT_EQ(line.device, c.device);
    EXPECT_EQ(line.baseName, "");
  } else {
    EXPECT_EQ(line.fileName, c.fileName);
    EXPECT_EQ(line.baseName, c.baseName);
    EXPECT_EQ(line.shownName, c.baseName == c.fileName ? c.fileName : c.baseName + ".avi");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTest,
    testing::Values(
        LineCase{{}, Action::kHelp, 0, "", "", "", false},
        LineCase{{"/?"}, Action::kHelp, 0, "", "", "", false},
        LineCase{{"x/?"}, Action::kHelp, 0, "", "", "", false},
        LineCase{{"clip/?.avi"}, Action::kHelp, 0, "", "", "", false},
        // With a second argument "/?" is not looked for.
        LineCase{{"/?", "clip.avi"}, Action::kRefuse, 0, "", "", "", false},
        LineCase{
            {"clip/?.avi", "/r"}, Action::kFile, 0, "clip/?.avi", "clip/?", "clip/?_out.avi", true},
        LineCase{{"movie.mpg"}, Action::kRefuse, 0, "", "", "", false},
        LineCase{{""}, Action::kRefuse, 0, "", "", "", false},
        LineCase{{"Clip.AVI"}, Action::kFile, 0, "clip.avi", "clip", "clip_out.avi", false},
        LineCase{{"a.avi.avi"}, Action::kFile, 0, "a.avi.avi", "a", "a_out.avi", false},
        LineCase{{"Dir/My.avi"}, Action::kFile, 0, "dir/my.avi", "dir/my", "dir/my_out.avi", false},
        LineCase{{"\xC3\x84.AVI"},
                 Action::kFile,
                 0,
                 "\xC3\x84.avi",
                 "\xC3\x84",
                 "\xC3\x84_out.avi",
                 false},
        LineCase{{"3"}, Action::kCamera, 3, "", "", "_out.avi", false},
        LineCase{{"12"}, Action::kCamera, 1, "", "", "_out.avi", false},
        LineCase{{"3", "/r"}, Action::kCamera, 0, "", "", "_out.avi", true},
        LineCase{{"7", "x"}, Action::kCamera, 0, "", "", "_out.avi", false},
        LineCase{{"1clip.avi"}, Action::kCamera, 1, "", "", "_out.avi", false},
        LineCase{{"clip.avi", "/R"}, Action::kFile, 0, "clip.avi", "clip", "clip_out.avi", false},
        LineCase{{"clip.avi", "x/ry"}, Action::kFile, 0, "clip.avi", "clip", "clip_out.avi", true},
        LineCase{
            {"clip.avi", "/", "r"}, Action::kFile, 0, "clip.avi", "clip", "clip_out.avi", true},
        LineCase{
            {"clip.avi", "r", "/"}, Action::kFile, 0, "clip.avi", "clip", "clip_out.avi", false},
        // The first argument takes no part in the recording test.
        LineCase{{"/r.avi"}, Action::kFile, 0, "/r.avi", "/r", "/r_out.avi", false},
        // An ".avi" in a folder's name: the output goes beside the clip all the same.
        LineCase{{"../My.avi.dir/clip.avi", "/r"},
                 Action::kFile,
                 0,
                 "../my.avi.dir/clip.avi",
                 "../my.avi.dir/clip",
                 "../my.avi.dir/clip_out.avi",
                 true},
        LineCase{{"a.avi/../a_out.avi"},
                 Action::kFile,
                 0,
                 "a.avi/../a_out.avi",
                 "a.avi/../a_out",
                 "a.avi/../a_out_out.avi",
                 false},
        // "/g" is found as "/r" is: anywhere in the joined further arguments.
        LineCase{
            {"clip.avi", "/g"}, Action::kFile, 0, "clip.avi", "clip", "clip_out.avi", false, true},
        LineCase{
            {"clip.avi", "/r/g"}, Action::kFile, 0, "clip.avi", "clip", "clip_out.avi", true, true},
        LineCase{{"clip.avi", "x/", "gy"},
                 Action::kFile,
                 0,
                 "clip.avi",
                 "clip",
                 "clip_out.avi",
                 false,
                 true},
        LineCase{
            {"clip.avi", "/G"}, Action::kFile, 0, "clip.avi", "clip", "clip_out.avi", false, false},
        LineCase{{"4", "/g"}, Action::kCamera, 0, "", "", "_out.avi", false, true},
        LineCase{{"x.avi/clip.mp4"},
                 Action::kFile,
                 0,
                 "x.avi/clip.mp4",
                 "x.avi/clip.mp4",
                 "x.avi/clip.mp4_out.avi",
                 false}),
    vizmoro_test::CaseName<LineCase>);

TEST(CommandLineTest, LongArgumentsAreReadWhole) {
  const std::string longName = std::string(5000, 'D') + ".avi";
  const CommandLine line = Parse({longName, std::string(300, 'x'), std::string(300, 'y') + "/r"});
  ASSERT_EQ(line.action, Action::kFile);
  EXPECT_EQ(line.baseName, std::string(5000, 'd'));
  EXPECT_EQ(line.outputName, std::string(5000, 'd') + "_out.avi");
  EXPECT_TRUE(line.recording);
}

}  // namespace
