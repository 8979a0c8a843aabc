#include "frame_processing.hpp"

#include <opencv2/imgproc.hpp>

#include "console_lines.hpp"

namespace vizmoro {

bool FrameHoldsTeachingRect(cv::Size size) {
  return size.width >= kTeachingRect.br().x && size.height >= kTeachingRect.br().y;
}

FrameProcessor::FrameProcessor(CvAssociativeMemory& memory, std::FILE* out)
    : memory_(memory), out_(out) {
  display_.out = out;
}

void FrameProcessor::Allocate(cv::Size frameSize) {
  hueMask_.Allocate(frameSize);
  grey_.create(frameSize, CV_8UC1);
  mask_.create(frameSize, CV_8UC1);
}

void FrameProcessor::Prepare(const cv::Mat& frame) {
  cv::cvtColor(frame, grey_, cv::COLOR_BGR2GRAY);
  hueMask_.Build(frame, mask_);
}

void FrameProcessor::Learn(cv::Mat& result) {
  memory_.SetImage(grey_, mask_);
  if (teachingLeft_ != 0) {
    Teach(result);
    return;
  }
  display_.image = &result;
  memory_.ObjectTracking(ShowRecognitionResult, &display_, true, kLearnThreshold, kTrackThreshold);
}

void FrameProcessor::Teach(cv::Mat& result) {
  const int32_t object = kTaughtObject;
  memory_.Write(kTeachingRect, &object);

  cv::Rect found;
  uint64_t baseIndex = 0, hitCounter = 0;
  double similarity = 0.0;
  memory_.Read(kTeachingRect, found, nullptr, &baseIndex, &hitCounter, &similarity, true);
  PrintHitting(out_, baseIndex, hitCounter, memory_.GetNodeCount(), similarity);

  // Drawn on the result image only, after the memory has seen the frame.
  cv::rectangle(result, kTeachingRect.tl(), kTeachingRect.br(), cv::Scalar(0, 0, 255), 2,
                cv::LINE_8, 0);
  --teachingLeft_;
}

void FrameProcessor::Release() {
  hueMask_.Release();
  grey_.release();
  mask_.release();
}

}  // namespace vizmoro
