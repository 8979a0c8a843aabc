// Boxes per object and frame in the MOT Challenge text format, frame,id,x,y,w,h,conf,-1,-1,-1
// with frames from 1, and in the plain one of single-object truth, x,y,w,h per frame.
#ifndef VIZMORO_CLI_MOT_HPP
#define VIZMORO_CLI_MOT_HPP

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vizmoro_cli {

struct Detection {
  int frame = 0;  // from 1
  int32_t id = 0;
  cv::Rect2d box;
  double conf = 1.0;
};

// Reads a file of MOT lines, or of x,y,w,h lines (then each line is a frame of object 1, frames
// from 1). Empty lines and lines starting with '#' are skipped. False with `error` (file and line)
// for a file that cannot be read or a line that reads as neither.
bool ReadDetections(const std::string& path, std::vector<Detection>& detections,
                    std::string& error);

// One MOT line, with its line feed.
std::string MotLine(int frame, int32_t id, const cv::Rect& box, double conf);

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_MOT_HPP
