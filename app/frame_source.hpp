// Frames of an opened capture, read on a thread of their own, so that a stop request is
// honoured within a fraction of a second even while the capture blocks (a stalled pipe, a camera
// that stops delivering).
#ifndef VIZMORO_APP_FRAME_SOURCE_HPP
#define VIZMORO_APP_FRAME_SOURCE_HPP

#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace vizmoro {

class FrameSource {
 public:
  enum class Outcome { kFrame, kEnd, kStopped };

  // Takes an opened capture.
  explicit FrameSource(std::unique_ptr<cv::VideoCapture> capture);
  // Ends the reader. A reader stuck in a read is left to the end of the process, with the
  // capture it reads from: see Stuck().
  ~FrameSource();
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;

  // The next frame and the capture's position after it, in milliseconds. Waits until it has
  // arrived, the capture has ended (no frame, or an empty one), or `stop` has become nonzero.
  Outcome Next(cv::Mat& frame, double& positionMs, const volatile std::sig_atomic_t& stop);

  // A property of the capture, read between frames.
  double Property(int property);

  // Whether a read never came back: the process must then end without running the destructors
  // of the video library (std::_Exit), which the reader is still inside.
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
  static void Read(std::shared_ptr<Shared> shared);

  std::shared_ptr<Shared> shared_;
  std::thread reader_;
};

}  // namespace vizmoro

#endif  // VIZMORO_APP_FRAME_SOURCE_HPP
