#include "hue_mask.hpp"

#include <opencv2/imgproc.hpp>

namespace vizmoro {

namespace {

const float kHueRange[] = {0.0f, 180.0f};
const float* kHueRanges[] = {kHueRange};
const int kHueChannel[] = {0};

}  // namespace

void HueMask::Allocate(cv::Size size) {
  hsv_.create(size, CV_8UC3);
  hue_.create(size, CV_8UC1);
  range_.create(size, CV_8UC1);
}

void HueMask::Build(const cv::Mat& frame, cv::Mat& mask) {
  CV_Assert(frame.type() == CV_8UC3);
  cv::cvtColor(frame, hsv_, cv::COLOR_BGR2HSV);
  // Saturation at least 30 and value at least 10; every 8-bit hue (0..179) passes.
  cv::inRange(hsv_, cv::Scalar(0, 30, 10), cv::Scalar(180, 255, 255), range_);
  cv::extractChannel(hsv_, hue_, 0);

  if (histogram_.empty()) {
    const int bins[] = {kBins};
    cv::calcHist(&hue_, 1, kHueChannel, range_, histogram_, 1, bins, kHueRanges, true, false);
    double largest = 0.0;
    cv::minMaxLoc(histogram_, nullptr, &largest);
    const float top = static_cast<float>(largest);
    histogram_.convertTo(histogram_, -1, top != 0.0f ? 255.0 / top : 0.0, 0.0);
  }

  cv::calcBackProject(&hue_, 1, kHueChannel, histogram_, mask, kHueRanges, 1.0, true);
  cv::bitwise_and(mask, range_, mask);
  cv::bitwise_not(mask, mask);
}

void HueMask::Release() {
  hsv_.release();
  hue_.release();
  range_.release();
  histogram_.release();
}

}  // namespace vizmoro
