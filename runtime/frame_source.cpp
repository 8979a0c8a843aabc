#include "frame_source.hpp"

#include <chrono>

namespace vizmoro {

FrameSource::FrameSource(std::function<bool(cv::VideoCapture&)> open)
    : shared_(std::make_shared<Shared>()) {
  shared_->capture = std::make_unique<cv::VideoCapture>();
  shared_->requested = true;  // the open is the first request
  reader_ = std::thread(&FrameSource::Read, shared_, std::move(open));
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

void FrameSource::Read(std::shared_ptr<Shared> shared,
                       std::function<bool(cv::VideoCapture&)> open) {
  Shared& s = *shared;
  bool opened = false;
  try {
    opened = open(*s.capture);
  } catch (const cv::Exception&) {  // some backends refuse a name by throwing
  }
  std::unique_lock<std::mutex> lock(s.mutex);
  s.got = opened;
  s.done = true;
  s.wake.notify_all();
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

bool FrameSource::Wait(std::unique_lock<std::mutex>& lock, const volatile std::sig_atomic_t& stop) {
  Shared& s = *shared_;
  while (!s.done) {
    if (stop) return false;  // the request goes on; a later call takes its outcome
    s.wake.wait_for(lock, std::chrono::milliseconds(100));
  }
  s.requested = false;
  return true;
}

FrameSource::Outcome FrameSource::Opened(const volatile std::sig_atomic_t& stop) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  if (!Wait(lock, stop)) return Outcome::kStopped;
  return shared_->got ? Outcome::kFrame : Outcome::kEnd;
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
  if (!Wait(lock, stop)) return Outcome::kStopped;
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
