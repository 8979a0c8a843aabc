// The hue mask handed to the memory with every frame: high where a pixel's hue was rare in the
// first frame, low where it was common, fully on where saturation or value is too low to
// give a hue.
#ifndef VIZMORO_RUNTIME_HUE_MASK_HPP
#define VIZMORO_RUNTIME_HUE_MASK_HPP

#include <opencv2/core.hpp>

namespace vizmoro {

class HueMask {
 public:
  static constexpr int kBins = 16;

  // Allocates the working images for frames of `size` up front; Build also works without.
  void Allocate(cv::Size size);

  // Builds the mask of an 8-bit BGR frame into `mask` (8-bit, frame size). The first call
  // takes the hue histogram from this frame; it is never updated afterwards.
  void Build(const cv::Mat& frame, cv::Mat& mask);

  bool HasHistogram() const { return !histogram_.empty(); }
  // Bin values scaled so that the largest is 255 (all 0 when the first frame had no hue).
  const cv::Mat& Histogram() const { return histogram_; }

  // Releases the working images, histogram included.
  void Release();

 private:
  cv::Mat hsv_;
  cv::Mat hue_;
  cv::Mat range_;
  cv::Mat histogram_;
};

}  // namespace vizmoro

#endif  // VIZMORO_RUNTIME_HUE_MASK_HPP
