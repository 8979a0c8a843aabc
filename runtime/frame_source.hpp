// Frames of a capture, opened and read on a thread of their own, so that a stop request is
// honoured within a fraction of a second even while the capture blocks (a FIFO without a writer,
// a stalled pipe, a camera that stops delivering).
#ifndef VIZMORO_RUNTIME_FRAME_SOURCE_HPP
#define VIZMORO_RUNTIME_FRAME_SOURCE_HPP

#include <condition_variable>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace vizmoro {

class FrameSource {
 public:
  enum class Outcome { kFrame, kEnd, kStopped };

  // Opens the capture on the reader thread with `open`: see Opened().
  explicit FrameSource(std::function<bool(cv::VideoCapture&)> open);
  // Ends the reader. A reader stuck in an open or a read is left to the end of the process, with
  // the capture it reads from: see Stuck().
  ~FrameSource();
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;

  // Waits until the capture has opened (kFrame), could not be opened (kEnd), or `stop` has
  // become nonzero (kStopped). Call it once, before Next.
  Outcome Opened(const volatile std::sig_atomic_t& stop);

  // The next frame and the capture's position after it, in milliseconds. Waits until it has
  // arrived, the capture has ended (no frame, or an empty one), or `stop` has become nonzero.
  Outcome Next(cv::Mat& frame, double& positionMs, const volatile std::sig_atomic_t& stop);

  // A property of the capture, read between frames.
  double Property(int property);

  // Whether an open or a read never came back: the process must then end without running the
  // destructors of the video library (std::_Exit), which the reader is still inside.
  bool Stuck();

 private:
  // What the reader thread shares; it outlives this object when the reader is stuck.
  struct Shared {
    std::unique_ptr<cv::VideoCapture> capture;
    std::mutex mutex;
    std::condition_variable wake;
    bool requested = false, done = false, quit = false;
    bool got = false;
    cv::Mat frame;
    double position = 0;
  };
  static void Read(std::shared_ptr<Shared> shared, std::function<bool(cv::VideoCapture&)> open);
  // Waits for the pending request.
  bool Wait(std::unique_lock<std::mutex>& lock, const volatile std::sig_atomic_t& stop);

  std::shared_ptr<Shared> shared_;
  std::thread reader_;
};

}  // namespace vizmoro

#endif  // VIZMORO_RUNTIME_FRAME_SOURCE_HPP
