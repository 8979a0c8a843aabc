#include "frame_source.hpp"

#include <chrono>

namespace vizmoro {

FrameSource::FrameSource(std::unique_ptr<cv::VideoCapture> capture)
    : shared_(std::make_shared<Shared>()) {
  shared_->capture = std::move(capture);
  reader_ = std::thread(&FrameSource::Read, shared_);
}

FrameSource::~FrameSource() {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->quit = true;
  const bool stuck = shared_->requested && !shared_->done;
  lock.unlock();
  shared_->wake.notify_all();
  if (stuck)
    reader_.detach();  // it holds the shared state and the capture until it returns
  else
    reader_.join();
}

void FrameSource::Read(std::shared_ptr<Shared> shared) {
  Shared& s = *shared;
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    s.wake.wait(lock, [&s] { return s.quit || (s.requested && !s.done); });
    if (s.quit) return;
    lock.unlock();
    cv::Mat frame;
    const bool got = s.capture->read(frame) && !frame.empty();
    const double position = got ? s.capture->get(cv::CAP_PROP_POS_MSEC) : 0.0;
    lock.lock();
    s.frame = frame;
    s.got = got;
    s.position = position;
    s.done = true;
    s.wake.notify_all();
  }
}

FrameSource::Outcome FrameSource::Next(cv::Mat& frame, double& positionMs,
                                       const volatile std::sig_atomic_t& stop) {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (!s.requested) {
    s.requested = true;
    s.done = false;
    s.wake.notify_all();
  }
  while (!s.done) {
    if (stop) return Outcome::kStopped;  // the read goes on; a later call takes its frame
    s.wake.wait_for(lock, std::chrono::milliseconds(100));
  }
  s.requested = false;
  if (!s.got) return Outcome::kEnd;
  frame = s.frame;
  s.frame = cv::Mat();
  positionMs = s.position;
  return Outcome::kFrame;
}

double FrameSource::Property(int property) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->requested && !shared_->done) return 0.0;  // the capture is inside a read
  return shared_->capture->get(property);
}

bool FrameSource::Stuck() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->requested && !shared_->done;
}

}  // namespace vizmoro
