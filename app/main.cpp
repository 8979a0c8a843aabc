// Vizmoro: learns the object held in a fixed rectangle of a camera or AVI video, then finds and
// tracks it, drawing the results into the window "Result" and optionally into a video file.
// What it learned is kept in "am.dat" from one run to the next.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/videoio.hpp>
#include <vizmoro/associative_memory.hpp>

#include "command_line.hpp"
#include "console_lines.hpp"
#include "display.hpp"
#include "frame_processing.hpp"
#include "memory_file.hpp"
#include "video_output.hpp"

namespace {

using vizmoro::CommandLine;

constexpr int kExitFailure = -1;
constexpr double kCameraFps = 12.0;
constexpr char kResultWindow[] = "Result";
constexpr char kMaskWindow[] = "Mask";

volatile std::sig_atomic_t stopRequested = 0;

void RequestStop(int) {
  stopRequested = 1;
}

// Ctrl+C and SIGTERM end the run after the current frame, through the normal shutdown that
// saves the memory. The handler resets itself, so a second Ctrl+C ends the process at once.
void InstallStopHandlers() {
  struct sigaction action = {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The video library logs every backend it tries; its expected refusals would drown the
// program's own lines. OPENCV_LOG_LEVEL still selects the library's logging when set.
void QuietVideoLibrary() {
  if (!std::getenv("OPENCV_LOG_LEVEL"))
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
}

// A double property as an int, truncated toward zero; values no int holds give 0.
int IntProperty(const cv::VideoCapture& capture, int property) {
  const double value = capture.get(property);
  return value > -2147483649.0 && value < 2147483648.0 ? static_cast<int>(value) : 0;
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

  QuietVideoLibrary();
  cv::VideoCapture capture;
  cv::Size frameSize;
  double fps = kCameraFps;
  if (line.action == CommandLine::Action::kCamera) {
    std::printf("Processing capture...\n");
    std::fflush(stdout);
    // The first frame only tells the frame size; a device that gives none is of no use.
    cv::Mat first;
    if (!capture.open(line.device) || !capture.read(first) || first.empty()) {
      std::fprintf(stderr, "Could not initialize capturing...\n");
      return kExitFailure;
    }
    frameSize = first.size();
  } else {
    std::printf("Processing avi file...\n");
    if (!capture.open(line.fileName)) {
      std::printf("Can't find file %s.avi\n", line.baseName.c_str());
      return kExitFailure;
    }
    frameSize = cv::Size(IntProperty(capture, cv::CAP_PROP_FRAME_WIDTH),
                         IntProperty(capture, cv::CAP_PROP_FRAME_HEIGHT));
    fps = capture.get(cv::CAP_PROP_FPS);
  }
  if (!vizmoro::FrameHoldsTeachingRect(frameSize)) {
    std::printf("Frames of %d x %d pixels are too small: teaching needs at least %d x %d.\n",
                frameSize.width, frameSize.height, vizmoro::kTeachingRect.br().x,
                vizmoro::kTeachingRect.br().y);
    return kExitFailure;
  }

  cv::Mat result(frameSize, CV_8UC3);
  vizmoro::FrameProcessor processor(memory, stdout);
  processor.Allocate(frameSize);

  cv::VideoWriter writer;
  if (line.recording && vizmoro::OpenResultWriter(writer, line.outputName, fps, frameSize) == 0) {
    std::printf("Could not open the output video %s: going on without writing it.\n",
                line.outputName.c_str());
  }

  const vizmoro::MemoryFileStart start =
      vizmoro::LoadOrCreateMemory(memory, vizmoro::kMemoryFileName, stdout, stderr);

  const bool windows = vizmoro::WindowsAvailableHere();
  if (windows) cv::namedWindow(kResultWindow, cv::WINDOW_NORMAL);
  InstallStopHandlers();

  bool failed = false;
  cv::Mat frame;
  bool haveFrame = capture.read(frame) && !frame.empty();
  while (haveFrame) {
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
    vizmoro::PrintFilmPosition(stdout, vizmoro::FilmPositionMs(capture.get(cv::CAP_PROP_POS_MSEC)));
    if (windows) cv::imshow(kResultWindow, result);
    if (writer.isOpened()) writer.write(result);
    if (windows && cv::waitKey(10) >= 0) break;
    if (stopRequested) break;
    haveFrame = capture.read(frame) && !frame.empty();
  }

  if (start.saveAtEnd && !vizmoro::SaveMemory(memory, vizmoro::kMemoryFileName, stdout, stderr))
    failed = true;
  writer.release();
  capture.release();
  result.release();
  processor.Release();
  return failed ? kExitFailure : 0;
}

}  // namespace

int main(int argc, char** argv) {
  return Run(argc, argv);
}
