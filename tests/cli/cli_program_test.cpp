// End-to-end runs of vizmoro-cli, headless, on a generated clip of three objects; checked
// through eval's own numbers.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <vizmoro/associative_memory.hpp>
#include <vizmoro/memory_file.hpp>

#include "evaluation.hpp"
#include "mot.hpp"
#include "program_runner.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vizmoro_cli;
using vizmoro_test::CliPath;
using vizmoro_test::MakeClip;
using vizmoro_test::ProgramResult;
using vizmoro_test::ReadFile;
using vizmoro_test::RunningProgram;
using vizmoro_test::RunProgram;
using vizmoro_test::ScratchDir;
using vizmoro_test::WriteFile;

// The three objects' boxes on the generator's first frame, taught on frames 0 to 29.
const std::vector<std::string> kObjects = {
    "--object", "1:orange:40,60,160,160",  "--object", "2:green:304,356,160,160",
    "--object", "3:purple:548,50,160,160", "--frames", "0-29"};

ProgramResult Cli(const std::vector<std::string>& args, const fs::path& dir) {
  return RunProgram(CliPath(), args, dir);
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// A clip of three objects, 200 frames, with its truth multi.txt.
class CliRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    clipDir_ = new ScratchDir;
    MakeClip(clipDir_->path(), "multi.avi", 200, {"--scene", "multi"});
  }
  static void TearDownTestSuite() { delete clipDir_; }
  std::string Clip() const { return (clipDir_->path() / "multi.avi").string(); }
  std::string Truth() const { return (clipDir_->path() / "multi.txt").string(); }

  Evaluation Score(const fs::path& results) {
    std::vector<Detection> r, t;
    std::string error;
    EXPECT_TRUE(ReadDetections(results.string(), r, error)) << error;
    EXPECT_TRUE(ReadDetections(Truth(), t, error)) << error;
    const FrameRange tracked{31, 200};
    return Evaluate(r, t, &tracked);
  }
  // Thresholds from measurement (success 100 %, 100 %, 90 %; AUC 0.88 overall), with room.
  void ExpectTracked(const Evaluation& e) {
    ASSERT_EQ(e.objects.size(), 3u);
    EXPECT_GE(e.objects[0].SuccessRate(), 0.95);
    EXPECT_GE(e.objects[1].SuccessRate(), 0.9);
    EXPECT_GE(e.objects[2].SuccessRate(), 0.75) << "the object that grows and shrinks";
    EXPECT_GE(e.overall.auc, 0.8);
  }

  static ScratchDir* clipDir_;
  ScratchDir dir_;
};
ScratchDir* CliRun::clipDir_ = nullptr;

TEST_F(CliRun, RunTeachesThenTracksEveryObject) {
  const ProgramResult run =
      Cli(With({"run", Clip(), "--results", "results.txt", "-q"}, kObjects), dir_.path());
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "") << "results go to their file";
  EXPECT_EQ(run.err, "");
  ExpectTracked(Score(dir_ / "results.txt"));

  // At most one line per object and frame, only on tracked frames, in the taught box's shape
  // at the size the object was found (within 0.5 to 2 times the taught size).
  std::vector<Detection> lines;
  std::string error;
  ASSERT_TRUE(ReadDetections((dir_ / "results.txt").string(), lines, error));
  std::map<std::pair<int32_t, int>, int> perObjectFrame;
  for (const Detection& d : lines) {
    EXPECT_GE(d.frame, 31);
    EXPECT_LE(d.frame, 200);
    EXPECT_GE(d.id, 1);
    EXPECT_LE(d.id, 3);
    EXPECT_EQ(++perObjectFrame[std::make_pair(d.id, d.frame)], 1);
    EXPECT_GE(d.conf, 0.0);
    EXPECT_LE(d.conf, 1.0);
    EXPECT_LE(d.box.width, 320);
    EXPECT_LE(d.box.height, 320);
    if (d.id == 1) {
      EXPECT_NEAR(d.box.width, 160, 16) << "object 1 keeps its size";
    }
  }

  // Objects not seen on a frame are left out when asked; without following sizes, object 1 is
  // reported in its taught size.
  ASSERT_EQ(Cli(With({"run", Clip(), "--results", "seen.txt", "-q", "--seen-only",
                      "--no-follow-size", "-m", "seen.dat"},
                     kObjects),
                dir_.path())
                .exitCode,
            0);
  std::vector<Detection> seen;
  ASSERT_TRUE(ReadDetections((dir_ / "seen.txt").string(), seen, error));
  EXPECT_LT(seen.size(), lines.size());
  EXPECT_GT(seen.size(), lines.size() / 2);
  for (const Detection& d : seen) {
    if (d.id == 1) {
      EXPECT_EQ(d.box.size(), cv::Size2d(160, 160));
    }
  }

  // The evaluation command agrees, and draws its plot.
  const ProgramResult eval =
      Cli({"eval", "results.txt", Truth(), "--frames", "31-200", "--plot", "plot.png", "--json"},
          dir_.path());
  EXPECT_EQ(eval.exitCode, 0) << eval.err;
  EXPECT_EQ(eval.out, FormatJson(Score(dir_ / "results.txt")));
  EXPECT_TRUE(fs::exists(dir_ / "plot.png"));
}

TEST_F(CliRun, TeachThenTrackKeepNamesAndMemoryBetweenRuns) {
  const ProgramResult teach =
      Cli(With({"teach", Clip(), "-m", "objects.dat"}, kObjects), dir_.path());
  ASSERT_EQ(teach.exitCode, 0) << teach.err;
  EXPECT_EQ(teach.out, "");
  EXPECT_NE(teach.err.find("30 frames in"), std::string::npos) << teach.err;
  EXPECT_EQ(ReadFile(dir_ / "objects.dat.names"),
            "1\torange\t160\t160\n2\tgreen\t160\t160\n3\tpurple\t160\t160\n");
  CvAssociativeMemory taught;
  ASSERT_TRUE(taught.LoadFromFile((dir_ / "objects.dat").c_str()));
  EXPECT_EQ(taught.GetSize(), cv::Size(160, 160));

  // Results on standard output, nothing else there.
  const ProgramResult track = Cli({"track", Clip(), "-m", "objects.dat", "-q"}, dir_.path());
  ASSERT_EQ(track.exitCode, 0) << track.err;
  WriteFile(dir_ / "stdout.txt", track.out);
  ExpectTracked(Score(dir_ / "stdout.txt"));
  CvAssociativeMemory tracked;
  ASSERT_TRUE(tracked.LoadFromFile((dir_ / "objects.dat").c_str()));
  EXPECT_GT(tracked.GetAccessCount(), taught.GetAccessCount()) << "the memory was saved";

  // Another object joins; the others keep their names. The names file keeps its mode and (when
  // root saves it) its owner, as the memory file does.
  fs::permissions(dir_ / "objects.dat.names", fs::perms::owner_read | fs::perms::owner_write);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown((dir_ / "objects.dat.names").c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(Cli({"teach", Clip(), "-m", "objects.dat", "-o", "9:spot:100,100,50,40@5-6", "-q"},
                dir_.path())
                .exitCode,
            0);
  EXPECT_EQ(ReadFile(dir_ / "objects.dat.names"),
            "1\torange\t160\t160\n2\tgreen\t160\t160\n3\tpurple\t160\t160\n9\tspot\t50\t40\n");
  struct stat names;
  ASSERT_EQ(::stat((dir_ / "objects.dat.names").c_str(), &names), 0);
  EXPECT_EQ(names.st_mode & 0777, 0600u);
  if (root) {
    EXPECT_EQ(names.st_uid, 65534u);
  }
  const ProgramResult inspect = Cli({"inspect", "objects.dat", "--json"}, dir_.path());
  EXPECT_EQ(inspect.exitCode, 0) << inspect.err;
  EXPECT_EQ(inspect.out.rfind("{\"file\": \"objects.dat\", \"area\": [160, 160], \"levels\": 3", 0),
            0u)
      << inspect.out;
  EXPECT_NE(inspect.out.find("{\"id\": 9, \"name\": \"spot\", \"taught\": [50, 40], \"bases\": "),
            std::string::npos)
      << inspect.out;
  const ProgramResult text = Cli({"inspect", "-m", "objects.dat"}, dir_.path());
  EXPECT_NE(text.out.find("  9\tspot\ttaught 50 x 40\t"), std::string::npos) << text.out;

  // Names of older files that are no UTF-8 or hold control characters still give valid JSON.
  WriteFile(dir_ / "objects.dat.names", "9\tsp\xf6t\x1b\t50\t40\n");
  EXPECT_NE(Cli({"inspect", "objects.dat", "--json"}, dir_.path())
                .out.find("{\"id\": 9, \"name\": \"sp\xef\xbf\xbdt\\u001b\", \"taught\""),
            std::string::npos);
}

TEST_F(CliRun, AnnotatedVideoAndStopRequestsKeepEverything) {
  ASSERT_EQ(Cli(With({"teach", Clip(), "-q"}, kObjects), dir_.path()).exitCode, 0);
  const ProgramResult video =
      Cli({"track", Clip(), "-q", "--results", "r.txt", "--video", "annotated.avi", "--no-learn"},
          dir_.path());
  EXPECT_EQ(video.exitCode, 0) << video.err;
  EXPECT_EQ(vizmoro_test::CountFrames(dir_ / "annotated.avi"), 200);

  RunningProgram running(CliPath(), {"track", Clip(), "-r", "stopped.txt"}, dir_.path());
  while (running.Running() &&
         (!fs::exists(dir_ / "stopped.txt") || fs::file_size(dir_ / "stopped.txt") < 2000))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  running.Signal(SIGINT);
  const ProgramResult stopped = running.Wait();
  EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
  const std::string lines = ReadFile(dir_ / "stopped.txt");
  EXPECT_EQ(lines.back(), '\n') << "whole lines only";
  EXPECT_LT(std::count(lines.begin(), lines.end(), '\n'), 3 * 200);
  CvAssociativeMemory saved;
  EXPECT_TRUE(saved.LoadFromFile((dir_ / "am.dat").c_str()));
}

TEST_F(CliRun, RefusalsSayWhyWithTheirExitCodes) {
  ASSERT_EQ(Cli(With({"teach", Clip(), "-q"}, kObjects), dir_.path()).exitCode, 0);
  const std::string memory = ReadFile(dir_ / "am.dat");
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string err;
  } cases[] = {
      {{"follow", Clip()},
       1,
       "vizmoro-cli: unknown command \"follow\"\n(see vizmoro-cli --help)\n"},
      {{"teach", Clip(), "-o", "1:a:700,500,160,160"},
       1,
       "vizmoro-cli: the box of object 1 reaches outside the frames of 768 x 576\n"},
      {{"track", "missing.avi"},
       2,
       "vizmoro-cli: cannot open the video missing.avi: no such file\n"},
      {{"track", Clip(), "-m", "none.dat"},
       2,
       "vizmoro-cli: there is no memory file none.dat: teach objects first\n"},
      {{"track", Clip(), "-m", "notes.txt"},
       2,
       "vizmoro-cli: cannot load the memory file notes.txt: not a memory file, or cut short\n"},
      {{"track", Clip(), "-r", "nowhere/r.txt"},
       3,
       "vizmoro-cli: cannot write nowhere/r.txt: No such file or directory\n"},
      {{"eval", "missing.txt", "multi.txt"},
       2,
       "vizmoro-cli: missing.txt: No such file or directory\n"},
      {{"inspect", "folder"}, 2, "vizmoro-cli: the memory file folder is not a regular file\n"},
  };
  WriteFile(dir_ / "notes.txt", "some notes");
  fs::create_directory(dir_ / "folder");
  for (const Case& c : cases) {
    const ProgramResult run = Cli(c.args, dir_.path());
    EXPECT_EQ(run.exitCode, c.exitCode) << c.args[0] << " " << c.args.back();
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(ReadFile(dir_ / "am.dat"), memory) << "nothing refused touched the memory";
  EXPECT_EQ(ReadFile(dir_ / "notes.txt"), "some notes");
  EXPECT_FALSE(fs::exists(dir_ / "none.dat"));

  // Another run holds the memory.
  const vizmoro::MemoryFileLock lock = vizmoro::MemoryFileLock::Acquire((dir_ / "am.dat").string());
  ASSERT_TRUE(lock.held());
  const ProgramResult locked = Cli({"track", Clip(), "-q"}, dir_.path());
  EXPECT_EQ(locked.exitCode, 4);
  EXPECT_EQ(locked.err,
            "vizmoro-cli: cannot use the memory file am.dat: another run holds its lock "
            "am.dat.lock\n");

  for (const char* command : {"teach", "track", "run", "inspect", "eval"}) {
    const ProgramResult help = Cli({command, "--help"}, dir_.path());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind(std::string("usage: vizmoro-cli ") + command, 0), 0u) << command;
  }
}

}  // namespace
