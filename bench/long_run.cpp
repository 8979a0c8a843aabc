// How a memory holds up when it goes on learning for thousands of frames: a clip is played
// again and again as the Vizmoro program plays a video (frames turned over, hue mask of the
// first frame, the teaching rectangle taught on the first 400 frames, then tracking with
// learning), once with the learning options off and once as "/g" sets them. Per loop it prints
// the frames on which the best track of object 1 overlaps the truth (IoU > 0.5), the frames
// away on which a track of similarity >= 0.45 is still reported, the bases at the loop's end and
// the median time of a tracking pass.
//
//   long_run CLIP.avi TRUTH.csv [--loops N] [--only off|guard] [--budget N]
//
// The truth is the generator's CSV: frame,x,y,width,height in the program's view, 0 0 0 0 when
// the object is out of sight.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <vizmoro/associative_memory.hpp>
#include <vizmoro/session_params.hpp>

#include "frame_processing.hpp"
#include "hue_mask.hpp"

namespace {

std::vector<cv::Rect> ReadTruth(const std::string& path) {
  std::vector<cv::Rect> truth;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#' || line[0] == 'f') continue;
    std::istringstream fields(line);
    char comma;
    int frame;
    cv::Rect box;
    if (fields >> frame >> comma >> box.x >> comma >> box.y >> comma >> box.width >> comma >>
        box.height)
      truth.push_back(box);
  }
  return truth;
}

double IoU(const cv::Rect& a, const cv::Rect& b) {
  const double inter = (a & b).area();
  const double uni = a.area() + b.area() - inter;
  return uni > 0 ? inter / uni : 0.0;
}

struct Reports {
  bool found = false;
  cv::Rect best;  // object 1's most similar track
  double bestSimilarity = -1;
  double strongest = -1;  // any track
  static void Callback(int code, uint32_t* index, RcgAMResult* result, void* user) {
    if (code != RCG_AM_TRACK) return;
    auto& r = *static_cast<Reports*>(user);
    r.strongest = std::max(r.strongest, result->similarity);
    if (*index == 1 && result->similarity > r.bestSimilarity) {
      r.found = true;
      r.best = result->rect;
      r.bestSimilarity = result->similarity;
    }
  }
};

struct LoopStats {
  int success = 0, visible = 0, confidentAway = 0, away = 0, bases = 0;
  double medianMs = 0;
};

std::vector<LoopStats> Play(const std::string& clip, const std::vector<cv::Rect>& truth, int loops,
                            const LearningOptions& options) {
  CvAssociativeMemory memory;
  memory.Create(vizmoro::kTeachingRect.width, vizmoro::kTeachingRect.height, 3);
  memory.SetLearningOptions(options);
  vizmoro::HueMask hueMask;
  cv::Mat grey, mask, frame;
  int teachingLeft = vizmoro::kTeachingFrames;
  std::vector<LoopStats> stats;
  for (int loop = 0; loop < loops; ++loop) {
    cv::VideoCapture capture(clip);
    LoopStats s;
    std::vector<double> times;
    for (size_t i = 0; capture.read(frame) && !frame.empty() && i < truth.size(); ++i) {
      cv::flip(frame, frame, 0);
      cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
      hueMask.Build(frame, mask);
      memory.SetImage(grey, mask);
      if (teachingLeft > 0) {
        const int32_t one = 1;
        memory.Write(vizmoro::kTeachingRect, &one);
        --teachingLeft;
        continue;
      }
      Reports reports;
      const int64_t start = cv::getTickCount();
      memory.ObjectTracking(Reports::Callback, &reports, true, vizmoro::kLearnThreshold,
                            vizmoro::kTrackThreshold);
      times.push_back((cv::getTickCount() - start) * 1000.0 / cv::getTickFrequency());
      const cv::Rect& box = truth[i];
      if (box.area() > 0) {
        ++s.visible;
        if (reports.found && IoU(reports.best, box) > 0.5) ++s.success;
      } else {
        ++s.away;
        if (reports.strongest >= vizmoro::kTrackThreshold) ++s.confidentAway;
      }
    }
    s.bases = memory.GetNodeCount() - 1;
    if (!times.empty()) {
      std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
      s.medianMs = times[times.size() / 2];
    }
    stats.push_back(s);
  }
  return stats;
}

void Print(const char* name, const std::vector<LoopStats>& stats) {
  std::printf(
      "\n%s\n| loop | success (IoU > 0.5) | confident reports away | bases | median pass |\n"
      "|---|---|---|---|---|\n",
      name);
  for (size_t i = 0; i < stats.size(); ++i) {
    const LoopStats& s = stats[i];
    std::printf("| %zu | %d / %d (%.1f %%) | %d / %d | %d | %.2f ms |\n", i + 1, s.success,
                s.visible, s.visible ? 100.0 * s.success / s.visible : 0.0, s.confidentAway, s.away,
                s.bases, s.medianMs);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(
        stderr, "usage: long_run CLIP.avi TRUTH.csv [--loops N] [--only off|guard] [--budget N]\n");
    return 2;
  }
  int loops = 8;
  std::string only;
  LearningOptions guarded = vizmoro::SessionParams().learning;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--loops") loops = std::atoi(argv[i + 1]);
    if (name == "--only") only = argv[i + 1];
    if (name == "--budget") guarded.budget = std::atoi(argv[i + 1]);
  }
  const std::vector<cv::Rect> truth = ReadTruth(argv[2]);
  if (truth.empty()) {
    std::fprintf(stderr, "long_run: no truth in %s\n", argv[2]);
    return 1;
  }
  std::printf("%s: %zu frames, %d loops; the first %d frames teach\n", argv[1], truth.size(), loops,
              vizmoro::kTeachingFrames);
  if (only.empty() || only == "off") Print("options off", Play(argv[1], truth, loops, {}));
  if (only.empty() || only == "guard")
    Print(("\"/g\" (guard, budget " + std::to_string(guarded.budget) + ")").c_str(),
          Play(argv[1], truth, loops, guarded));
  return 0;
}
