// What the program does with each flipped frame: grey image and hue mask for the memory, then
// 400 teaching frames of the fixed teaching rectangle, then tracking on every later frame.
#ifndef VIZMORO_APP_FRAME_PROCESSING_HPP
#define VIZMORO_APP_FRAME_PROCESSING_HPP

#include <cstdio>

#include <opencv2/core.hpp>
#include <vizmoro/associative_memory.hpp>

#include "hue_mask.hpp"
#include "result_display.hpp"

namespace vizmoro {

constexpr int kTeachingFrames = 400;
// Object 1 sits here while the memory learns it; in pixels of the flipped frame.
const cv::Rect kTeachingRect(390, 250, 220, 220);
constexpr int32_t kTaughtObject = 1;

// Whether frames of `size` hold the teaching rectangle.
bool FrameHoldsTeachingRect(cv::Size size);

class FrameProcessor {
 public:
  FrameProcessor(CvAssociativeMemory& memory, std::FILE* out);

  // Allocates the grey image, the hue mask and the mask's working images.
  void Allocate(cv::Size frameSize);

  // Converts the flipped BGR frame to the grey image and the hue mask.
  void Prepare(const cv::Mat& frame);
  // The hue mask as built, before the memory blurs it.
  const cv::Mat& Mask() const { return mask_; }

  // Hands the prepared images to the memory, then teaches (the first 400 frames) or tracks,
  // drawing on `result`. Engine errors arrive as cv::Exception.
  void Learn(cv::Mat& result);

  int TeachingFramesLeft() const { return teachingLeft_; }

  // Releases the working images.
  void Release();

 private:
  void Teach(cv::Mat& result);

  CvAssociativeMemory& memory_;
  std::FILE* out_;
  HueMask hueMask_;
  cv::Mat grey_;
  cv::Mat mask_;
  int teachingLeft_ = kTeachingFrames;
  ResultDisplay display_;
};

}  // namespace vizmoro

#endif  // VIZMORO_APP_FRAME_PROCESSING_HPP
