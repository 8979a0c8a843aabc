// Runs of the program by an unlucky or hostile user: another user's memory file, two runs at
// once, endings that must still save, names that would overwrite other files, a full disk,
// unusable settings and broken inputs. Nothing learned may be lost, nothing may crash.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <vizmoro/associative_memory.hpp>

#include "program_runner.hpp"

namespace {

namespace fs = std::filesystem;
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

bool Saved(const fs::path& file) {
  CvAssociativeMemory memory;
  return memory.LoadFromFile(file.c_str()) && memory.GetNodeCount() > 1;
}

// Waits until the program has processed a frame.
void WaitForFrames(RunningProgram& running) {
  while (running.Running() && running.OutputSoFar().find("Hitting!") == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Waits for the end of the program; false when it has not ended within `seconds`.
bool EndsWithin(RunningProgram& running, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (running.Running()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A clip that stops delivering frames: a FIFO fed the first part of a real clip by a writer
// that then keeps it open without writing.
class StalledClip {
 public:
  StalledClip(const fs::path& dir, const std::string& name) {
    MakeClip(dir, "source.avi", 100);
    const std::string bytes = ReadFile(dir / "source.avi");
    fifo_ = dir / name;
    EXPECT_EQ(::mkfifo(fifo_.c_str(), 0644), 0);
    feeder_ = std::thread([this, part = bytes.substr(0, bytes.size() / 2)] {
      std::FILE* out = std::fopen(fifo_.c_str(), "wb");
      if (!out) return;
      std::fwrite(part.data(), 1, part.size(), out);
      std::fflush(out);
      while (!release_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::fclose(out);
    });
  }
  ~StalledClip() {
    release_ = true;
    // The feeder may still wait for a reader to open the FIFO.
    if (std::FILE* in = std::fopen(fifo_.c_str(), "rb")) std::fclose(in);
    feeder_.join();
  }

 private:
  fs::path fifo_;
  std::atomic<bool> release_{false};
  std::thread feeder_;
};

TEST(Endings, StopRequestIsHonouredWhileTheCaptureWaits) {
  ScratchDir dir;
  StalledClip clip(dir.path(), "stalled.avi");
  RunningProgram running(VizmoroPath(), {"stalled.avi"}, dir.path());
  WaitForFrames(running);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // it now waits for a frame
  running.Signal(SIGINT);
  ASSERT_TRUE(EndsWithin(running, 10)) << "the stop request was ignored";
  const ProgramResult run = running.Wait();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(Saved(dir / "am.dat"));
}

TEST(Endings, StopRequestIsHonouredWhileTheVideoOpens) {
  ScratchDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo.avi").c_str(), 0644), 0);  // no writer: opening it waits
  const struct {
    std::string program;
    std::vector<std::string> args;
    int exitCode;
    std::string out, err;
  } runs[] = {
      {VizmoroPath(),
       {"fifo.avi"},
       kFailure,
       kAviLine + "Stopped while fifo.avi was opening: the memory file am.dat is left as it was.\n",
       ""},
      {vizmoro_test::CliPath(),
       {"teach", "fifo.avi", "-o", "1:a:0,0,9,9"},
       2,
       "",
       "vizmoro-cli: cannot open the video fifo.avi: stopped while it was opening\n"},
  };
  for (const auto& r : runs) {
    RunningProgram running(r.program, r.args, dir.path());
    running.WaitUntilCatching(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // on its way into the open
    running.Signal(SIGTERM);
    ASSERT_TRUE(EndsWithin(running, 10)) << r.program << ": the stop request was ignored";
    const ProgramResult run = running.Wait();
    EXPECT_EQ(run.exitCode, r.exitCode);
    EXPECT_EQ(run.out, r.out);
    EXPECT_EQ(run.err, r.err);
    EXPECT_FALSE(fs::exists(dir / "am.dat"));
  }
}

TEST(Endings, ClosedStandardOutputEndsTheRunLikeAKey) {
  ScratchDir dir;
  MakeClip(dir.path(), "clip.avi", 404);
  const ProgramResult run =
      RunProgram("/bin/bash",
                 {"-c", "\"$0\" clip.avi | head -3 >/dev/null; echo -n ${PIPESTATUS[0]} >status",
                  VizmoroPath()},
                 dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(ReadFile(dir / "status"), "0") << "not ended by SIGPIPE";
  EXPECT_TRUE(Saved(dir / "am.dat"));
}

TEST(MemoryFileSharing, SecondRunOnTheSameMemoryStopsBeforeAnything) {
  ScratchDir dir;
  StalledClip stalled(dir.path(), "stalled.avi");
  MakeClip(dir.path(), "clip.avi", 2);
  RunningProgram first(VizmoroPath(), {"stalled.avi"}, dir.path());
  WaitForFrames(first);
  const ProgramResult second = RunProgram(VizmoroPath(), {"clip.avi"}, dir.path());
  EXPECT_EQ(second.exitCode, kFailure);
  EXPECT_EQ(second.out,
            "Cannot use the memory file am.dat: another run holds its lock am.dat.lock.\n");
  first.Signal(SIGTERM);
  ASSERT_TRUE(EndsWithin(first, 10));
  EXPECT_EQ(first.Wait().exitCode, 0);
  EXPECT_TRUE(Saved(dir / "am.dat"));
}

// Runs as the unprivileged user nobody, from a copy of the program that nobody may run.
ProgramResult RunAsNobody(const fs::path& dir, const std::vector<std::string>& args) {
  const fs::path program = dir / "Vizmoro";
  if (!fs::exists(program)) fs::copy_file(VizmoroPath(), program);
  std::vector<std::string> all{"--reuid=65534", "--regid=65534", "--clear-groups",
                               program.string()};
  all.insert(all.end(), args.begin(), args.end());
  return RunProgram("/usr/bin/setpriv", all, dir);
}

TEST(MemoryFileOwnership, RunsOfRootAndOfAUserTakeTurns) {
  if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root, setpriv";
  ScratchDir dir;
  fs::permissions(dir.path(), fs::perms::all);
  MakeClip(dir.path(), "clip.avi", 3);
  fs::permissions(dir / "clip.avi", fs::perms::all);

  ASSERT_EQ(RunProgram(VizmoroPath(), {"clip.avi"}, dir.path()).exitCode, 0);  // as root
  const ProgramResult user = RunAsNobody(dir.path(), {"clip.avi"});
  EXPECT_EQ(user.exitCode, 0) << user.out << user.err;
  ASSERT_EQ(RunProgram(VizmoroPath(), {"clip.avi"}, dir.path()).exitCode, 0);  // root again
  struct stat st;
  ASSERT_EQ(::stat((dir / "am.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u) << "root's save took the user's file";
  EXPECT_EQ(RunAsNobody(dir.path(), {"clip.avi"}).exitCode, 0);

  // A folder the user may not write: refused before the first frame, the file left as it was.
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  const std::string before = ReadFile(dir / "am.dat");
  const ProgramResult refused = RunAsNobody(dir.path(), {"clip.avi"});
  EXPECT_EQ(refused.exitCode, kFailure);
  EXPECT_EQ(refused.out,
            "Cannot use the memory file am.dat: a save could not replace it: cannot create a "
            "file in .: Permission denied.\n");
  EXPECT_EQ(ReadFile(dir / "am.dat"), before);

  // A memory file the user may not read is not set aside: the run is refused.
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions(dir / "am.dat", fs::perms::owner_read | fs::perms::owner_write);
  ::chown((dir / "am.dat").c_str(), 0, 0);
  const ProgramResult unreadable = RunAsNobody(dir.path(), {"clip.avi"});
  EXPECT_EQ(unreadable.exitCode, kFailure);
  EXPECT_EQ(unreadable.out, "Cannot use the memory file am.dat: Permission denied.\n");
  EXPECT_EQ(ReadFile(dir / "am.dat"), before);
  EXPECT_FALSE(fs::exists(dir / "am.dat.bak"));
}

TEST(MemoryFileKinds, FifoIsRefusedWithoutWaitingOnIt) {
  ScratchDir dir;
  MakeClip(dir.path(), "clip.avi", 1);
  ASSERT_EQ(::mkfifo((dir / "am.dat").c_str(), 0644), 0);
  RunningProgram running(VizmoroPath(), {"clip.avi"}, dir.path());
  ASSERT_TRUE(EndsWithin(running, 30)) << "start-up hangs on the FIFO";
  const ProgramResult run = running.Wait();
  EXPECT_EQ(run.exitCode, kFailure);
  EXPECT_EQ(run.out,
            "Cannot use the memory file am.dat: it is not a regular file but a FIFO, a device or "
            "a socket.\n");
  EXPECT_FALSE(fs::exists(dir / "am.dat.lock")) << "no lock beside a file that cannot be used";
}

TEST(OutputName, StaysBesideTheClipAndNeverOverwritesTheInput) {
  ScratchDir dir;
  fs::create_directories(dir / "my.avi.dir");
  fs::create_directories(dir / "work");
  MakeClip(dir / "my.avi.dir", "clip.avi", 1);
  WriteFile(dir / "my_out.avi", "unrelated");
  const ProgramResult run =
      RunProgram(VizmoroPath(), {"../my.avi.dir/clip.avi", "/r"}, dir / "work");
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(dir / "my_out.avi"), "unrelated");
  EXPECT_TRUE(fs::exists(dir / "my.avi.dir" / "clip_out.avi"));

  // An output name that is the input itself, through a link.
  MakeClip(dir.path(), "real.avi", 1);
  fs::create_symlink("real.avi", dir / "clip.avi");
  fs::create_symlink("real.avi", dir / "clip_out.avi");
  const std::string clip = ReadFile(dir / "real.avi");
  const ProgramResult refused = RunProgram(VizmoroPath(), {"clip.avi", "/r"}, dir.path());
  EXPECT_EQ(refused.exitCode, kFailure);
  EXPECT_EQ(refused.out,
            "The output video clip_out.avi is the input video itself: it would be overwritten.\n");
  EXPECT_EQ(ReadFile(dir / "real.avi"), clip);

  // An output name that leads to the memory file, which does not exist yet.
  fs::remove(dir / "clip_out.avi");
  fs::create_symlink("am.dat", dir / "clip_out.avi");
  const ProgramResult memory = RunProgram(VizmoroPath(), {"clip.avi", "/r"}, dir.path());
  EXPECT_EQ(memory.exitCode, kFailure);
  EXPECT_EQ(memory.out,
            "The output video clip_out.avi is the memory file am.dat: it would be overwritten.\n");
  EXPECT_FALSE(fs::exists(dir / "am.dat"));
  EXPECT_TRUE(fs::is_symlink(dir / "clip_out.avi"));
}

TEST(OutputVideo, FullDiskIsReportedAndTheMemoryIsStillSaved) {
  ScratchDir dir;
  MakeClip(dir.path(), "clip.avi", 30);
  if (RunProgram("/usr/bin/unshare", {"-m", "true"}, dir.path()).exitCode != 0)
    GTEST_SKIP() << "no mount namespaces here";
  // A small file system of our own, in a mount namespace of our own: the first run fills it,
  // the second finds it full from the start.
  const uintmax_t room = fs::file_size(dir / "clip.avi") + 200 * 1024;
  const std::string script =
      "mkdir small && mount -t tmpfs -o size=" + std::to_string(room) +
      " tmpfs small && cp clip.avi small/ && ln small/clip.avi small/again.avi && "
      "\"$0\" small/clip.avi /r >first && { dd if=/dev/zero of=small/fill bs=4k 2>/dev/null; "
      "\"$0\" small/again.avi /r >second; } && "
      "find small -empty >empty";
  const ProgramResult run =
      RunProgram("/usr/bin/unshare", {"-m", "/bin/sh", "-c", script, VizmoroPath()}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const std::string name : {"clip", "again"}) {
    const std::string out = ReadFile(dir / (name == "clip" ? "first" : "second"));
    EXPECT_EQ(CountLines(out, "Could not write the output video small/" + name +
                                  "_out.avi: No space left on device; it is cut short."),
              1)
        << out;
    EXPECT_EQ(CountLines(out, "Hitting! "), 30);
  }
  EXPECT_EQ(ReadFile(dir / "empty"), "") << "an output that got nothing is not left behind";
  EXPECT_TRUE(Saved(dir / "am.dat"));
}

TEST(Display, UnusableQtPlatformFallsBackToAHeadlessRun) {
  ScratchDir dir;
  MakeClip(dir.path(), "clip.avi", 2);
  for (const std::string platform : {"wayland", "ofscreen"}) {
    const ProgramResult run =
        RunProgram(VizmoroPath(), {"clip.avi"}, dir.path(), false, {"QT_QPA_PLATFORM=" + platform});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(CountLines(run.out, "QT_QPA_PLATFORM=" + platform +
                                      " names no Qt platform that can show windows here: running "
                                      "without windows."),
              1)
        << run.out;
    EXPECT_EQ(CountLines(run.out, "Hitting! "), 2);
  }
}

TEST(BrokenInput, FilesThatAreNoVideosAreNamedWithTheReason) {
  ScratchDir dir;
  WriteFile(dir / "notes.avi", "just some text");
  fs::create_directory(dir / "folder.avi");
  const struct {
    const char* name;
    std::string out;
  } cases[] = {
      {"notes.avi", "Can't open file notes.avi: the video library cannot read it as a video.\n"},
      {"folder.avi", "Can't open file folder.avi: it is a folder.\n"},
      {"missing.avi", "Can't find file missing.avi\n"},
  };
  for (const auto& c : cases) {
    const ProgramResult run = RunProgram(VizmoroPath(), {c.name}, dir.path());
    EXPECT_EQ(run.exitCode, kFailure);
    EXPECT_EQ(run.out, kAviLine + c.out);
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(fs::exists(dir / "am.dat"));
  }
}

TEST(BrokenInput, VideoLibraryLinesStayQuietUnlessAskedFor) {
  ScratchDir dir;
  MakeClip(dir.path(), "clip.avi", 40);
  std::string bytes = ReadFile(dir / "clip.avi");
  uint64_t state = 3;  // damage the frames, not the headers
  for (int i = 0; i < 300; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    bytes[20000 + (state >> 33) % (bytes.size() - 40000)] = static_cast<char>(state >> 20);
  }
  WriteFile(dir / "damaged.avi", bytes);
  const ProgramResult quiet = RunProgram(VizmoroPath(), {"damaged.avi"}, dir.path());
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.err, "");
  const ProgramResult told =
      RunProgram(VizmoroPath(), {"damaged.avi"}, dir.path(), false, {"OPENCV_LOG_LEVEL=WARNING"});
  EXPECT_EQ(told.exitCode, 0);
  EXPECT_NE(told.err, "") << "the damage went unnoticed: no line to silence";
}

}  // namespace
