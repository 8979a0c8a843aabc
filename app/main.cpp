// Vizmoro: learns the object held in a fixed rectangle of a camera or AVI video, then finds and
// tracks it, drawing the results into the window "Result" and optionally into a video file.
// What it learned is kept in "am.dat" from one run to the next.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>
#include <vizmoro/associative_memory.hpp>
#include <vizmoro/session_params.hpp>

#include "command_line.hpp"
#include "console_lines.hpp"
#include "display.hpp"
#include "frame_processing.hpp"
#include "frame_source.hpp"
#include "memory_file.hpp"
#include "output_files.hpp"
#include "process_setup.hpp"
#include "video_output.hpp"

namespace {

namespace fs = std::filesystem;
using vizmoro::CommandLine;
using vizmoro::FrameSource;

constexpr int kExitFailure = -1;
constexpr double kCameraFps = 12.0;
constexpr char kResultWindow[] = "Result";
constexpr char kMaskWindow[] = "Mask";

// A double property as an int, truncated toward zero; values no int holds give 0.
int IntProperty(FrameSource& source, int property) {
  const double value = source.Property(property);
  return value > -2147483649.0 && value < 2147483648.0 ? static_cast<int>(value) : 0;
}

// Why a video file that exists could not be opened.
std::string WhyNotOpened(const std::string& fileName) {
  std::error_code ec;
  if (fs::is_directory(fileName, ec)) return "it is a folder";
  // Without O_NONBLOCK, a FIFO would wait for a writer here.
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return "the video library cannot read it as a video";
}

// Ends the process. A capture stuck in a read cannot be destroyed: then the process ends
// without running any destructor, once everything of the run has been saved and written.
int Finish(FrameSource* source, int code) {
  if (source && source->Stuck()) {
    std::fflush(nullptr);
    std::_Exit(code & 0xff);
  }
  return code;
}

int Run(int argc, char** argv) {
  CvAssociativeMemory memory(0);

  const CommandLine line = vizmoro::ParseCommandLine(argc, argv);
  switch (line.action) {
    case CommandLine::Action::kHelp:
      std::printf("%s", vizmoro::kHelpText);
      return 0;
    case CommandLine::Action::kRefuse:
      std::printf("%s", vizmoro::kOnlyAviMessage);
      return kExitFailure;
    default:
      break;
  }

  vizmoro::QuietVideoLibrary();
  vizmoro::InstallStopHandlers();
  // One run at a time on the memory file, and one whose learning can be saved.
  const vizmoro::MemoryFileLock lock = vizmoro::PrepareMemoryFile(vizmoro::kMemoryFileName, stdout);
  if (!lock.held()) return kExitFailure;
  std::error_code ec;
  if (line.recording) {
    // The memory file or its lock under the output's name, through a link: the video would be
    // written into it.
    const struct {
      std::string path, what;
    } kept[] = {
        {line.fileName, "the input video itself"},
        {vizmoro::kMemoryFileName, std::string("the memory file ") + vizmoro::kMemoryFileName},
        {lock.path(), "the memory file's lock " + lock.path()}};
    for (const auto& file : kept) {
      if (!vizmoro::SameFile(file.path, line.outputName)) continue;
      std::printf("The output video %s is %s: it would be overwritten.\n", line.outputName.c_str(),
                  file.what.c_str());
      return kExitFailure;
    }
  }

  const bool camera = line.action == CommandLine::Action::kCamera;
  std::fputs(camera ? "Processing capture...\n" : "Processing avi file...\n", stdout);
  if (camera) std::fflush(stdout);
  // Opened on the reader thread: a FIFO without a writer, or a source that stalls, must not
  // keep the run from a stop request.
  FrameSource source([device = line.device, file = line.fileName, camera](cv::VideoCapture& c) {
    return camera ? c.open(device) : c.open(file);
  });
  const FrameSource::Outcome opened = source.Opened(vizmoro::stopRequested);
  if (opened == FrameSource::Outcome::kStopped) {
    std::printf("Stopped while %s was opening: the memory file %s is left as it was.\n",
                camera ? "the capture device" : line.fileName.c_str(), vizmoro::kMemoryFileName);
    return Finish(&source, kExitFailure);
  }
  if (opened != FrameSource::Outcome::kFrame) {
    if (camera)
      std::fprintf(stderr, "Could not initialize capturing...\n");
    else if (!fs::exists(fs::symlink_status(line.fileName, ec)))
      std::printf("Can't find file %s\n", line.shownName.c_str());
    else
      std::printf("Can't open file %s: %s.\n", line.fileName.c_str(),
                  WhyNotOpened(line.fileName).c_str());
    return Finish(&source, kExitFailure);
  }
  cv::Mat frame;
  double position = 0;
  cv::Size frameSize;
  double fps = kCameraFps;
  if (line.action == CommandLine::Action::kCamera) {
    // The first frame only tells the frame size; a device that gives none is of no use.
    if (source.Next(frame, position, vizmoro::stopRequested) != FrameSource::Outcome::kFrame) {
      std::fprintf(stderr, "Could not initialize capturing...\n");
      return Finish(&source, kExitFailure);
    }
    frameSize = frame.size();
  } else {
    frameSize = cv::Size(IntProperty(source, cv::CAP_PROP_FRAME_WIDTH),
                         IntProperty(source, cv::CAP_PROP_FRAME_HEIGHT));
    fps = source.Property(cv::CAP_PROP_FPS);
  }
  if (!vizmoro::FrameHoldsTeachingRect(frameSize)) {
    std::printf("Frames of %d x %d pixels are too small: teaching needs at least %d x %d.\n",
                frameSize.width, frameSize.height, vizmoro::kTeachingRect.br().x,
                vizmoro::kTeachingRect.br().y);
    return Finish(&source, kExitFailure);
  }
  // A run that gets no frame learns nothing: it leaves the memory file as it was.
  if (source.Next(frame, position, vizmoro::stopRequested) != FrameSource::Outcome::kFrame) {
    std::printf(
        "No frame could be read from %s: the memory file %s is left as it was.\n",
        line.action == CommandLine::Action::kCamera ? "the capture device" : line.fileName.c_str(),
        vizmoro::kMemoryFileName);
    return Finish(&source, kExitFailure);
  }

  cv::Mat result(frameSize, CV_8UC3);
  vizmoro::FrameProcessor processor(memory, stdout);
  processor.Allocate(frameSize);

  vizmoro::WatchedVideo video;
  if (line.recording && !video.Open(line.outputName, fps, frameSize)) {
    std::printf("Could not open the output video %s: going on without writing it.\n",
                line.outputName.c_str());
  }

  const vizmoro::MemoryFileStart start =
      vizmoro::LoadOrCreateMemory(memory, vizmoro::kMemoryFileName, stdout, stderr);
  if (!start.ready) {
    video.Close(stdout);
    return Finish(&source, kExitFailure);
  }
  if (line.guarded) memory.SetLearningOptions(vizmoro::SessionParams().learning);

  std::string windowNote;
  const bool windows = vizmoro::WindowsAvailableHere(&windowNote);
  if (!windowNote.empty()) std::printf("%s\n", windowNote.c_str());
  if (windows) cv::namedWindow(kResultWindow, cv::WINDOW_NORMAL);

  bool failed = false;
  for (;;) {
    try {
      cv::flip(frame, frame, 0);
      frame.copyTo(result);
      processor.Prepare(frame);
      if (windows) {
        cv::namedWindow(kMaskWindow, cv::WINDOW_NORMAL);
        cv::imshow(kMaskWindow, processor.Mask());
      }
      processor.Learn(result);
    } catch (const std::exception& e) {
      vizmoro::PrintError(stderr, e);
      failed = true;
      break;
    }
    vizmoro::PrintFilmPosition(stdout, vizmoro::FilmPositionMs(position));
    if (windows) cv::imshow(kResultWindow, result);
    video.Write(result, stdout);
    if (windows && cv::waitKey(10) >= 0) break;
    if (vizmoro::stopRequested || std::ferror(stdout)) break;
    if (source.Next(frame, position, vizmoro::stopRequested) != FrameSource::Outcome::kFrame) break;
  }

  if (!vizmoro::SaveMemory(memory, vizmoro::kMemoryFileName, stdout, stderr)) failed = true;
  video.Close(stdout);
  result.release();
  processor.Release();
  return Finish(&source, failed ? kExitFailure : 0);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const cv::Exception& e) {
    // A memory the engine refuses to make (an instruction set forced that this processor lacks).
    vizmoro::PrintError(stderr, e);
    return kExitFailure;
  }
}
