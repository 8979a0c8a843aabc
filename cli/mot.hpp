// Boxes per object and frame in the MOT Challenge text format, frame,id,x,y,w,h,conf,-1,-1,-1
// with frames from 1, and in the plain one of single-object truth, x,y,w,h per frame.
#ifndef VIZMORO_CLI_MOT_HPP
#define VIZMORO_CLI_MOT_HPP

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "mot_line.hpp"

namespace vizmoro_cli {

struct Detection {
  int frame = 0;  // from 1
  int32_t id = 0;
  cv::Rect2d box;
  double conf = 1.0;
};

// Reads a file of boxes: MOT lines (seven values or more), or x,y,w,h lines (each line a frame
// of object 1, frames from 1), or, after a header line naming its columns, lines of those
// columns (frame, id, x, y, w or width, h or height, visible, conf; others are ignored). With
// a header, frames count from 0 where there is no id (frame,x,y,w,h,visible) and from 1 where
// there is (MOT); `frame` here always counts from 1. Values are separated by commas, or by
// spaces or tabs. A box with a NaN, or not visible, is out of sight (a box of no size). Where
// lines count frames, a blank line is a frame out of sight, unless no box follows it; elsewhere
// blank lines, and everywhere lines starting with '#', are skipped. False with `error` (file and
// line) for a file that cannot be read, a line that fits no layout or not the file's, six values
// without a header (frame,id,x,y,w,h or frame,x,y,w,h,visible), or a frame above 1000000000.
bool ReadDetections(const std::string& path, std::vector<Detection>& detections,
                    std::string& error);

using vizmoro::MotLine;

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_MOT_HPP
