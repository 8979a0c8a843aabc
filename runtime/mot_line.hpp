// A line of results in the MOT Challenge text format, frame,id,x,y,w,h,conf,-1,-1,-1 with frames
// from 1, as vizmoro-cli and the batch write them.
#ifndef VIZMORO_RUNTIME_MOT_LINE_HPP
#define VIZMORO_RUNTIME_MOT_LINE_HPP

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace vizmoro {

// One MOT line, with its line feed.
std::string MotLine(int frame, int32_t id, const cv::Rect& box, double conf);

}  // namespace vizmoro

#endif  // VIZMORO_RUNTIME_MOT_LINE_HPP
