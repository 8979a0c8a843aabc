// Scores of tracking results against ground truth, as the single-object benchmarks (OTB, LaSOT)
// score them, per object and overall, and the success plot.
#ifndef VIZMORO_CLI_EVALUATION_HPP
#define VIZMORO_CLI_EVALUATION_HPP

#include <cstdint>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "mot.hpp"

namespace vizmoro_cli {

constexpr int kThresholds = 21;  // IoU 0, 0.05, ..., 1

struct Score {
  int32_t id = 0;                  // 0: all objects together
  int frames = 0;                  // frames on which the object is in sight: the scored ones
  int success = 0;                 // of them, with IoU > 0.5
  int precise = 0;                 // with centres at most 20 pixels apart
  int64_t away = 0;                // frames on which the object is out of sight
  int64_t awayReports = 0;         // of them, with a result for the object
  double curve[kThresholds] = {};  // success rate at each IoU threshold
  double auc = 0;                  // mean of the curve
  double SuccessRate() const { return frames ? static_cast<double>(success) / frames : 0.0; }
  double Precision() const { return frames ? static_cast<double>(precise) / frames : 0.0; }
};

struct Evaluation {
  std::vector<Score> objects;  // by object ID
  Score overall;
  int first = 1, last = 0;  // the frames scored, as the files count them (from 1)
};

// Matches results to truth by object and frame. The frames considered run from 1 (or the first
// of `range`) to the truth's last frame (or the last of `range`); on each, an object has a truth
// box of positive width and height (scored), or none (away). Of several results for one object
// and frame the one of highest conf counts; results of objects the truth does not know, and
// results of no size (not seen), are left out.
Evaluation Evaluate(const std::vector<Detection>& results, const std::vector<Detection>& truth,
                    const FrameRange* range);

double IoU(const cv::Rect2d& a, const cv::Rect2d& b);

std::string FormatTable(const Evaluation& evaluation);
std::string FormatJson(const Evaluation& evaluation);

// The success plot (success rate against the IoU threshold, a line per object and one for all
// of them, their AUC in the legend) as a PNG. False with `error`.
bool WriteSuccessPlot(const Evaluation& evaluation, const std::string& path, std::string& error);

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_EVALUATION_HPP
