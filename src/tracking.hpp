// Decisions of tracking that depend only on numbers, kept apart so that their boundaries can be
// checked exactly.
#ifndef VIZMORO_TRACKING_HPP
#define VIZMORO_TRACKING_HPP

#include <algorithm>
#include <array>
#include <cstdint>

#include <opencv2/core.hpp>

namespace vizmoro::detail {

// The first window read around an unconfirmed tracked object: an area of `area` around its
// predicted centre, moved inside the image at the left and top.
inline cv::Rect firstReacquisitionWindow(cv::Point predicted, cv::Size area) {
  return cv::Rect(std::max(predicted.x - (area.width >> 1), 0),
                  std::max(predicted.y - (area.height >> 1), 0), area.width, area.height);
}

// The four windows read after the first, in this order: left-top, right-top, right-bottom,
// left-bottom of `anchor` by `margin`. A window that would start left of or above the image
// starts at its edge, one that would reach its right or bottom edge is made narrower or lower by
// the margin; windows that still do not fit are skipped by the caller.
inline std::array<cv::Rect, 4> shiftedReacquisitionWindows(cv::Point anchor, cv::Size area,
                                                           cv::Size margin, cv::Size image) {
  const int xL = anchor.x >= margin.width ? anchor.x - margin.width : 0;
  const int wL = anchor.x >= margin.width ? area.width : area.width - margin.width;
  const int yT = anchor.y >= margin.height ? anchor.y - margin.height : 0;
  const int hT = anchor.y >= margin.height ? area.height : area.height - margin.height;
  const int xR = anchor.x + margin.width;
  const int wR =
      anchor.x + area.width + margin.width < image.width ? area.width : area.width - margin.width;
  const int yB = anchor.y + margin.height;
  const int hB = anchor.y + area.height + margin.height < image.height
                     ? area.height
                     : area.height - margin.height;
  return {cv::Rect(xL, yT, wL, hT), cv::Rect(xR, yT, wR, hT), cv::Rect(xR, yB, wR, hB),
          cv::Rect(xL, yB, wL, hB)};
}

struct ReacquisitionOutcome {
  bool confirm;
  bool relearn;
};

// What the best of the extra reads around an unconfirmed tracked object leads to.
inline ReacquisitionOutcome reacquisitionOutcome(bool learning, bool sameIndex, double similarity,
                                                 uint64_t hits, double trackThreshold) {
  if (!learning || !sameIndex || !(similarity > trackThreshold)) return {false, false};
  return {true, similarity < 0.5 && hits > 50};
}

}  // namespace vizmoro::detail

#endif  // VIZMORO_TRACKING_HPP
