// The command line of vizmoro-cli: object specifications, ranges, and what each command takes.
#include "arguments.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace vizmoro_cli;

bool Parse(std::vector<std::string> args, Arguments& a, std::string& error) {
  std::vector<const char*> argv{"vizmoro-cli"};
  for (const std::string& s : args) argv.push_back(s.c_str());
  return ParseArguments(static_cast<int>(argv.size()), argv.data(), a, error);
}

TEST(ObjectSpec, ReadsIdNameBoxAndFrames) {
  ObjectSpec o;
  std::string error;
  ASSERT_TRUE(ParseObject("7:red cup:10,20,30,40@5-9", o, error)) << error;
  EXPECT_EQ(o.id, 7);
  EXPECT_EQ(o.name, "red cup");
  EXPECT_EQ(o.box, cv::Rect(10, 20, 30, 40));
  EXPECT_TRUE(o.hasRange);
  EXPECT_EQ(o.range.first, 5);
  EXPECT_EQ(o.range.last, 9);
  ASSERT_TRUE(ParseObject("2147483647:a:b:0,0,1,1", o, error)) << error;
  EXPECT_EQ(o.name, "a:b") << "the box follows the last colon";
  ASSERT_TRUE(ParseObject("3:cup", o, error));
  EXPECT_TRUE(o.box.empty()) << "to be drawn with --select";
  ASSERT_TRUE(ParseObject("3:t:12", o, error));
  EXPECT_EQ(o.name, "t:12");

  for (const char* bad :
       {"0:x:1,2,3,4", "2147483648:x:1,2,3,4", "x:1,2,3,4", "1::1,2,3,4", "1:x:1,2,0,4",
        "1:x:-1,2,3,4", "1:x:1,2,3", "1:x:1,2,3,4@5-3", "1:x:1,2,3,4@a", "1:x\ty:1,2,3,4", "1"}) {
    EXPECT_FALSE(ParseObject(bad, o, error)) << bad;
    EXPECT_EQ(error.rfind(std::string("invalid --object \"") + bad + "\": ", 0), 0u) << error;
  }
}

TEST(Arguments, EachCommandTakesItsOwnOptions) {
  Arguments a;
  std::string error;
  ASSERT_TRUE(Parse({"run", "clip.mp4", "-o", "1:a:0,0,10,10", "--object", "2:b:5,5,20,20@3-4",
                     "--frames", "0-9", "-r", "out.txt", "--no-guard", "--budget", "0", "-m",
                     "mem.dat", "--flip", "--seen-only", "--no-follow-size", "--no-identities"},
                    a, error))
      << error;
  EXPECT_EQ(a.command, Command::kRun);
  EXPECT_EQ(a.video, "clip.mp4");
  ASSERT_EQ(a.objects.size(), 2u);
  EXPECT_EQ(a.objects[0].range.last, 9) << "--frames for objects without their own";
  EXPECT_EQ(a.objects[1].range.first, 3);
  EXPECT_EQ(a.results, "out.txt");
  EXPECT_FALSE(a.guard);
  EXPECT_EQ(a.budget, 0);
  EXPECT_EQ(a.memory, "mem.dat");
  EXPECT_TRUE(a.flip);
  EXPECT_TRUE(a.seenOnly);
  EXPECT_FALSE(a.followSize);
  EXPECT_FALSE(a.keepIdentities);

  ASSERT_TRUE(Parse({"track", "clip.mp4"}, a, error));
  EXPECT_TRUE(a.followSize && a.keepIdentities && !a.seenOnly) << "the tracking options on";
  EXPECT_TRUE(a.guard);

  ASSERT_TRUE(Parse({"teach", "0", "--object", "1:a:0,0,10,10"}, a, error));
  EXPECT_EQ(a.objects[0].range.last, 0) << "the first frame by default";
  ASSERT_TRUE(Parse({"inspect", "x.dat", "--json"}, a, error));
  EXPECT_EQ(a.memory, "x.dat");
  ASSERT_TRUE(Parse({"eval", "r.txt", "t.txt", "-p", "plot.png", "-f", "2-50"}, a, error));
  EXPECT_EQ(a.resultsFile, "r.txt");
  EXPECT_EQ(a.truthFile, "t.txt");
  ASSERT_TRUE(Parse({"track", "--help"}, a, error));
  EXPECT_TRUE(a.help);
  ASSERT_TRUE(Parse({}, a, error));
  EXPECT_EQ(a.command, Command::kHelp);

  const struct {
    std::vector<std::string> args;
    std::string error;
  } refused[] = {
      {{"learn", "x"}, "unknown command \"learn\""},
      {{"teach", "clip.avi"}, "teach needs at least one --object"},
      {{"teach", "--object", "1:a:0,0,9,9"}, "teach takes one VIDEO"},
      {{"teach", "a.avi", "b.avi", "--object", "1:a:0,0,9,9"}, "teach takes one VIDEO"},
      {{"teach", "a.avi", "--object", "1:a"},
       "object 1 has no box: give ID:NAME:X,Y,W,H, or "
       "--select to draw it"},
      {{"teach", "a.avi", "-o", "1:a:0,0,9,9", "-o", "1:b:0,0,9,9"}, "object 1 is given twice"},
      {{"teach", "a.avi", "-o", "1:a:0,0,9,9", "--results", "r"},
       "unknown option --results for teach"},
      {{"track", "a.avi", "--object", "1:a:0,0,9,9"}, "unknown option --object for track"},
      {{"track", "a.avi", "--budget", "-1"}, "--budget takes a whole number from 0 to 2147483647"},
      {{"track", "a.avi", "--budget"}, "--budget needs a value"},
      {{"track", "a.avi", "--flip", "--flip"}, "--flip is given twice"},
      {{"track", "a.avi", "--bogus"}, "unknown option --bogus for track"},
      {{"teach", "a.avi", "-o", "1:a:0,0,9,9", "--seen-only"},
       "unknown option --seen-only for teach"},
      {{"teach", "a.avi", "-o", "1:a:0,0,9,9", "--levels", "9"},
       "--levels takes a whole number from 1 to 8"},
      {{"teach", "a.avi", "-o", "1:a:0,0,9,9", "--frames", "9-1"},
       "--frames must read A-B, with A <= B"},
      {{"eval", "r.txt"}, "eval takes RESULTS and TRUTH"},
      {{"inspect", "a", "b"}, "inspect takes one memory file"},
  };
  for (const auto& r : refused) {
    EXPECT_FALSE(Parse(r.args, a, error)) << r.args[0];
    EXPECT_EQ(error, r.error);
  }
}

TEST(Arguments, HelpOfEveryCommandNamesItsUsage) {
  EXPECT_EQ(HelpText(Command::kNone).rfind("usage: vizmoro-cli COMMAND", 0), 0u);
  for (auto [command, name] : {std::pair{Command::kTeach, "teach"},
                               {Command::kTrack, "track"},
                               {Command::kRun, "run"},
                               {Command::kInspect, "inspect"},
                               {Command::kEval, "eval"}})
    EXPECT_EQ(HelpText(command).rfind(std::string("usage: vizmoro-cli ") + name, 0), 0u) << name;
}

}  // namespace
