// The command line of vizmoro-cli: object specifications, ranges, and what each command takes.
#include "arguments.hpp"

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/highgui.hpp>

#include "json.hpp"
#include "names_file.hpp"
#include "picker.hpp"
#include "program_runner.hpp"

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
  // Frames without a box, for the picker; an '@' that starts no frames is the name's.
  for (const auto& [text, name, first, last] : {std::tuple{"3:cup@10-14", "cup", 10, 14},
                                                {"3:cup@7", "cup", 7, 7},
                                                {"3:me@home", "me@home", -1, -1},
                                                {"3:@5", "@5", -1, -1}}) {
    ASSERT_TRUE(ParseObject(text, o, error)) << text << ": " << error;
    EXPECT_EQ(o.name, name);
    EXPECT_EQ(o.hasRange, first >= 0) << text;
    if (first >= 0) {
      EXPECT_EQ(std::pair(o.range.first, o.range.last), std::pair(first, last)) << text;
    }
  }

  for (const char* bad :
       {"0:x:1,2,3,4", "2147483648:x:1,2,3,4", "x:1,2,3,4", "1::1,2,3,4", "1:x:1,2,0,4",
        "1:x:-1,2,3,4", "1:x:1,2,3", "1:x:1,2,3,4@5-3", "1:x:1,2,3,4@a", "1:x\ty:1,2,3,4", "1"}) {
    EXPECT_FALSE(ParseObject(bad, o, error)) << bad;
    EXPECT_EQ(error.rfind(std::string("invalid --object \"") + bad + "\": ", 0), 0u) << error;
  }
  // Control characters would break the names file and inspect's JSON.
  for (const std::string& bad : {std::string("1:a\0b:1,2,3,4", 13),
                                 std::string("1:a\x1b[0m:1,2,3,4"), std::string("1:a\x7f:1,2,3,4")})
    EXPECT_FALSE(ParseObject(bad, o, error)) << bad;
  EXPECT_TRUE(ParseObject("1:tasse \xc3\xa0 caf\xc3\xa9:1,2,3,4", o, error)) << "UTF-8 is welcome";
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
  EXPECT_EQ(a.coast, 0) << "--seen-only is --coast 0";
  EXPECT_FALSE(a.followSize);
  EXPECT_FALSE(a.keepIdentities);
  const vizmoro::SessionParams params = SessionParamsOf(a);
  EXPECT_TRUE(!params.learning.guard && params.learning.budget == 0 &&
              !params.tracking.followSize && !params.tracking.keepIdentities &&
              params.tracking.lookBeforeReport && params.keepAll)
      << "the options as the memory is given them";
  ASSERT_TRUE(Parse({"track", "clip.mp4", "--prune"}, a, error));
  EXPECT_FALSE(SessionParamsOf(a).keepAll);

  ASSERT_TRUE(Parse({"track", "clip.mp4"}, a, error));
  EXPECT_TRUE(a.followSize && a.keepIdentities && !a.seenOnly) << "the tracking options on";
  EXPECT_EQ(a.coast, -1) << "each way of tracking keeps its own coasting";
  EXPECT_TRUE(a.guard);
  ASSERT_TRUE(Parse({"run", "clip.mp4", "-o", "1:a:0,0,10,10", "--coast", "0"}, a, error));
  EXPECT_EQ(a.coast, 0) << "none, not the default";

  ASSERT_TRUE(Parse({"teach", "0", "--object", "1:a:0,0,10,10"}, a, error));
  EXPECT_EQ(a.objects[0].range.last, 0) << "the first frame by default";
  EXPECT_FALSE(a.plain);
  // The same object again is a key frame.
  ASSERT_TRUE(
      Parse({"teach", "0", "-o", "1:a:0,0,10,10", "-o", "1:a:5,5,12,12@40", "--plain"}, a, error));
  ASSERT_EQ(a.objects.size(), 2u);
  EXPECT_EQ(a.objects[1].range.first, 40);
  EXPECT_EQ(a.objects[1].range.last, 40);
  EXPECT_TRUE(a.plain);
  ASSERT_TRUE(Parse({"inspect", "x.dat", "--json"}, a, error));
  EXPECT_EQ(a.memory, "x.dat");
  ASSERT_TRUE(Parse({"eval", "r.txt", "t.txt", "-p", "plot.png", "-f", "2-50"}, a, error));
  EXPECT_EQ(a.resultsFile, "r.txt");
  EXPECT_EQ(a.truthFile, "t.txt");
  ASSERT_TRUE(Parse({"show", "v.avi", "-r", "r.txt", "-t", "t.txt", "--frame", "7", "--output",
                     "f.png", "-o", "1:a:1,2,3,4", "--flip"},
                    a, error))
      << error;
  EXPECT_EQ(std::tuple(a.command, a.video, a.resultsFile, a.truthFile, a.frame, a.output),
            std::tuple(Command::kShow, std::string("v.avi"), std::string("r.txt"),
                       std::string("t.txt"), 7, std::string("f.png")));
  EXPECT_EQ(a.objects.at(0).box, cv::Rect(1, 2, 3, 4));
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
      {{"teach", "a.avi", "-o", "1:a:0,0,9,9", "-o", "1:b:0,0,9,9"},
       "object 1 is given twice, as \"a\" and as \"b\""},
      {{"teach", "a.avi", "-o", "1:a", "--select-frame", "3"}, "--select-frame needs --select"},
      {{"track", "a.avi", "--hue-mask"},
       "--hue-mask needs --plain: the tracker reads whole frames"},
      {{"teach", "a.avi", "-o", "1:a:0,0,9,9", "--results", "r"},
       "unknown option --results for teach"},
      {{"track", "a.avi", "--object", "1:a:0,0,9,9"}, "unknown option --object for track"},
      {{"track", "a.avi", "--budget", "-1"}, "--budget takes a whole number from 0 to 2147483647"},
      {{"track", "a.avi", "--budget"}, "--budget needs a value"},
      {{"track", "a.avi", "--coast", "-1"}, "--coast takes a whole number from 0 to 2147483647"},
      {{"track", "a.avi", "--coast", "2.5"}, "--coast takes a whole number from 0 to 2147483647"},
      {{"track", "a.avi", "--plain", "--coast", "3", "--seen-only"},
       "--seen-only is --coast 0: give one of them"},
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
      {{"show", "a.avi", "-t", "t.txt"}, "show needs --output FILE"},
      {{"show", "a.avi", "--output", "a.mp4"},
       "show needs boxes to draw: --object, --results or --truth"},
      {{"show", "a.avi", "-o", "1:a@3", "--frame", "3", "--output", "a.png"},
       "object 1 has no box: give ID:NAME:X,Y,W,H"},
  };
  for (const auto& r : refused) {
    EXPECT_FALSE(Parse(r.args, a, error)) << r.args[0];
    EXPECT_EQ(error, r.error);
  }
}

TEST(Arguments, HelpOfEveryCommandNamesItsUsageAndItsOptions) {
  std::string error;
  EXPECT_EQ(HelpText(Command::kNone).rfind("usage: vizmoro-cli COMMAND", 0), 0u);
  for (auto [command, name] : {std::pair{Command::kTeach, "teach"},
                               {Command::kTrack, "track"},
                               {Command::kRun, "run"},
                               {Command::kInspect, "inspect"},
                               {Command::kEval, "eval"},
                               {Command::kShow, "show"}})
    EXPECT_EQ(HelpText(command).rfind(std::string("usage: vizmoro-cli ") + name, 0), 0u) << name;

  // Each command lists in its help exactly the options it takes: of every option the program
  // has, one that is not listed is refused as unknown.
  const std::string every =
      "-o --object -f --frames --select --select-frame --levels -r --results -v --video --no-learn "
      "--show "
      "--coast --seen-only --no-follow-size --follow-size --no-identities -m --memory --prune "
      "--no-guard "
      "--budget --flip --hue-mask --plain -q --quiet -p --plot --json -t --truth --frame "
      "--output -h --help";
  for (const char* command : {"teach", "track", "run", "inspect", "eval", "show"}) {
    Arguments parsed;
    ASSERT_TRUE(Parse({command, "--help"}, parsed, error));
    std::set<std::string> listed;  // the names at the start of the help's option lines
    std::istringstream help(HelpText(parsed.command));
    for (std::string line; std::getline(help, line);) {
      if (line.rfind("  -", 0) != 0) continue;
      std::istringstream names(line.substr(2, line.find(' ', 2) - 2));
      for (std::string name; std::getline(names, name, ',');) listed.insert(name);
    }
    std::istringstream options(every);
    for (std::string option; options >> option;) {
      Parse({command, option}, parsed, error);
      const bool unknown = error == "unknown option " + option + " for " + command;
      EXPECT_NE(listed.count(option) == 1, unknown) << command << " " << option;
      error.clear();
    }
  }
}

TEST(Picker, StepsThroughFramesDrawsABoxAndGivesItAsAnArgument) {
  Picker picker("1 cup", 10, true);
  const cv::Size frame(100, 80);
  EXPECT_EQ(picker.Key('p'), Picker::Answer::kStep);
  EXPECT_EQ(picker.Frame(), 9);
  for (int key : {int(']'), int('n'), int('.'), 0xff56, 0xff53}) picker.Key(key);
  EXPECT_EQ(picker.Frame(), 32) << "] and Page Down step ten frames; Right one";
  for (int key : {int('['), 0xff55, 0xff55, 0xff51, int(',')}) picker.Key(key);
  EXPECT_EQ(picker.Frame(), 0) << "never before the first frame";
  EXPECT_EQ(picker.Key('p'), Picker::Answer::kNone);
  EXPECT_EQ(Picker("1 cup", 4, false).Key('n'), Picker::Answer::kNone)
      << "a video read once shows one frame";

  // A drag from right to left, ending outside the frame: the box is shown while it grows, and
  // stays within the frame.
  picker.Mouse(cv::EVENT_LBUTTONDOWN, 60, 50, frame);
  picker.Mouse(cv::EVENT_MOUSEMOVE, 40, 30, frame);
  EXPECT_EQ(picker.Box(), cv::Rect(40, 30, 20, 20));
  const cv::Mat black(frame, CV_8UC3, cv::Scalar::all(0));
  const cv::Mat drawing = picker.Render(black);
  EXPECT_NE(drawing.at<cv::Vec3b>(50, 50), cv::Vec3b(0, 0, 0)) << "the box while it is drawn";
  EXPECT_NE(drawing.at<cv::Vec3b>(5, 5), cv::Vec3b(0, 0, 0)) << "the instructions";
  picker.Mouse(cv::EVENT_LBUTTONUP, -5, 200, frame);
  EXPECT_EQ(picker.Box(), cv::Rect(0, 50, 60, 30));
  picker.Mouse(cv::EVENT_MOUSEMOVE, 10, 10, frame);
  EXPECT_EQ(picker.Box(), cv::Rect(0, 50, 60, 30)) << "a move without the button leaves it";
  EXPECT_NE(picker.Render(black).at<cv::Vec3b>(79, 30), cv::Vec3b(0, 0, 0)) << "and after";
  for (int key : {int('\r'), int('\n'), int(' '), 0xff0d})
    EXPECT_EQ(picker.Key(key), Picker::Answer::kAccept) << key;
  for (int key : {int('c'), 27, 0xff1b}) EXPECT_EQ(picker.Key(key), Picker::Answer::kCancel);
  EXPECT_EQ(picker.Key(0xff50), Picker::Answer::kNone) << "Home: no step";

  // The argument printed gives the same object again, in a shell too.
  ObjectSpec object;
  object.id = 7;
  object.name = "red 'cup' a:b";
  object.box = picker.Box();
  object.range = {12, 14};
  const std::string text = ObjectArgument(object, true);
  EXPECT_EQ(text, "7:red 'cup' a:b:0,50,60,30@12-14");
  EXPECT_EQ(ShellWord(text), "'7:red '\\''cup'\\'' a:b:0,50,60,30@12-14'");
  EXPECT_EQ(ShellWord("7:cup:1,2,3,4@5"), "7:cup:1,2,3,4@5");
  ObjectSpec read;
  std::string error;
  ASSERT_TRUE(ParseObject(text, read, error)) << error;
  EXPECT_EQ(std::tuple(read.id, read.name, read.box, read.range.first, read.range.last),
            std::tuple(7, object.name, object.box, 12, 14));
  object.range = {3, 3};
  EXPECT_EQ(ObjectArgument(object, true), "7:red 'cup' a:b:0,50,60,30@3");
  EXPECT_EQ(ObjectArgument(object, false), "7:red 'cup' a:b:0,50,60,30");
}

TEST(NamesFile, ReadsWhatItWritesAndLinesFromOtherSystems) {
  vizmoro_test::ScratchDir dir;
  const std::string path = (dir / "am.dat.names").string();
  const Names written = {{1, {"red cup", {30, 40}}}, {2147483647, {"a:b", {1, 2}}}};
  std::string error;
  ASSERT_TRUE(WriteNames(path, written, error)) << error;
  Names read;
  ASSERT_TRUE(ReadNames(path, read, error)) << error;
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[2147483647].name, "a:b");
  EXPECT_EQ(read[1].taught, cv::Size(30, 40));

  vizmoro_test::WriteFile(path, "\r\n1\tcup\t3\t4\r\n\n\r\n2\tpot\t5\t6\r\n");
  ASSERT_TRUE(ReadNames(path, read, error)) << "blank lines, CRLF first: " << error;
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[1].name, "cup");
  EXPECT_EQ(read[2].taught, cv::Size(5, 6));

  for (const char* bad : {"1\t\t3\t4\n", "1\tcup\t3\n", "0\tcup\t3\t4\n", "1\tcup\t0\t4\n"}) {
    vizmoro_test::WriteFile(path, std::string("2\tpot\t5\t6\n") + bad);
    EXPECT_FALSE(ReadNames(path, read, error)) << bad;
    EXPECT_EQ(error, path + ", line 2: not ID<TAB>NAME<TAB>W<TAB>H");
  }
}

TEST(JsonText, IsValidJsonForAnyBytes) {
  const struct {
    std::string text, json;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c/", "\"a\\\"b\\\\c/\""},
      {std::string("t\tn\nr\r\0\x1f\x7f", 9), "\"t\\tn\\nr\\r\\u0000\\u001f\x7f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      // Latin-1, a lone continuation byte, an overlong slash, a surrogate, a cut sequence and
      // a code point above U+10FFFF: one U+FFFD per maximal invalid part.
      {"caf\xe9!", "\"caf\xef\xbf\xbd!\""},
      {"\x80", "\"\xef\xbf\xbd\""},
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
      {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
      {"\xe2\x82x\xf0\x9f\x98", "\"\xef\xbf\xbdx\xef\xbf\xbd\""},
      {"\xf4\x90\x80\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonLine(c.text), c.json + "\n") << c.text;
}

}  // namespace
