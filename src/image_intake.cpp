// SetImage: the frame that reads, writes and searches work on.
#include <opencv2/imgproc.hpp>

#include "errors.hpp"
#include "memory_state.hpp"
#include "tuning.hpp"

using namespace vizmoro;
using namespace vizmoro::detail;

void CvAssociativeMemory::SetImage(const cv::Mat& image, const cv::Mat& mask) {
  AM_REFUSE_INSIDE_CALLBACK(*state, "SetImage");
  // Every check comes first: a refused frame leaves the previous one, its mask and its
  // integral image in place.
  if (image.empty() || image.dims != 2)
    AM_REPORT(cv::Error::StsBackTrace, "SetImage", "Inner function failed.");
  if (image.type() != CV_8UC1)
    AM_REPORT(cv::Error::StsUnsupportedFormat, "SetImage", "Source images must have 8uC1 type");
  if (!mask.empty()) {
    if (mask.dims != 2) AM_REPORT(cv::Error::StsBackTrace, "SetImage", "Inner function failed.");
    if (mask.type() != CV_8UC1)
      AM_REPORT(cv::Error::StsUnsupportedFormat, "SetImage", "Mask images must have 8uC1 type");
    if (mask.size() != image.size())
      AM_REPORT(cv::Error::StsUnmatchedSizes, "SetImage",
                "Size of input image do not match to the mask image");
  }

  CvAssociativeMemoryState& s = *state;
  s.image = image;
  s.mask = mask;  // no mask clears the previous one
  if (!mask.empty()) {
    cv::Mat blurred = s.mask;  // the caller's pixels, blurred in place
    cv::GaussianBlur(blurred, blurred, cv::Size(Tuning::kMaskBlur, Tuning::kMaskBlur),
                     Tuning::kMaskBlur, 0.0, cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
  }
  if (s.integral.empty() || s.imageWidth != image.cols || s.imageHeight != image.rows) {
    s.imageWidth = image.cols;
    s.imageHeight = image.rows;
    s.integral = cv::Mat(s.imageHeight + 1, s.imageWidth + 1, CV_32SC1);
  }
  cv::integral(image, s.integral, CV_32S);
}
