#include "evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <utility>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "json.hpp"

namespace vizmoro_cli {

namespace {

double Threshold(int k) {
  return k / static_cast<double>(kThresholds - 1);
}

void Count(Score& score, double iou, double centreDistance) {
  ++score.frames;
  if (iou > 0.5) ++score.success;
  if (centreDistance <= 20.0) ++score.precise;
  for (int k = 0; k < kThresholds; ++k)
    if (iou > Threshold(k)) score.curve[k] += 1;
}

void Finish(Score& score) {
  double sum = 0;
  for (double& value : score.curve) {
    value = score.frames ? value / score.frames : 0.0;
    sum += value;
  }
  score.auc = sum / kThresholds;
}

bool InSight(const cv::Rect2d& box) {
  return box.width > 0 && box.height > 0;
}

cv::Point2d Centre(const cv::Rect2d& box) {
  return {box.x + box.width / 2, box.y + box.height / 2};
}

cv::Scalar LineColour(size_t index) {
  static const cv::Scalar kColours[] = {{0, 120, 255}, {40, 170, 40}, {200, 60, 170},
                                        {200, 120, 0}, {0, 180, 220}, {120, 60, 20}};
  return kColours[index % std::size(kColours)];
}

}  // namespace

double IoU(const cv::Rect2d& a, const cv::Rect2d& b) {
  const double inter = (a & b).area();
  const double uni = a.area() + b.area() - inter;
  return uni > 0 ? inter / uni : 0.0;
}

Evaluation Evaluate(const std::vector<Detection>& results, const std::vector<Detection>& truth,
                    const FrameRange* range) {
  // The boxes in sight by object and frame; an object's other frames are away. Only these and
  // the results are visited, so that frame numbers far apart cost nothing.
  std::map<int32_t, std::map<int, cv::Rect2d>> inSight;
  std::map<int32_t, Score> scores;
  int lastFrame = 0;
  for (const Detection& d : truth) {
    scores[d.id].id = d.id;
    lastFrame = std::max(lastFrame, d.frame);
    std::map<int, cv::Rect2d>& boxes = inSight[d.id];
    if (InSight(d.box))
      boxes[d.frame] = d.box;
    else
      boxes.erase(d.frame);  // the last line of a frame counts
  }
  using Key = std::pair<int32_t, int>;  // object, frame
  std::map<Key, Detection> best;
  for (const Detection& d : results) {
    // A result of no size says that the object is not seen.
    if (!scores.count(d.id) || !InSight(d.box)) continue;
    auto [it, fresh] = best.emplace(Key{d.id, d.frame}, d);
    if (!fresh && d.conf > it->second.conf) it->second = d;
  }
  const int first = range ? std::max(range->first, 1) : 1;
  const int last = range ? std::min(range->last, lastFrame) : lastFrame;
  const int64_t considered = last >= first ? int64_t{last} - first + 1 : 0;

  Evaluation evaluation;
  evaluation.first = first;
  evaluation.last = last;
  for (auto& [id, score] : scores) {
    const std::map<int, cv::Rect2d>& boxes = inSight[id];
    for (auto t = boxes.lower_bound(first); t != boxes.end() && t->first <= last; ++t) {
      const auto r = best.find({id, t->first});
      const double iou = r == best.end() ? 0.0 : IoU(t->second, r->second.box);
      const double distance =
          r == best.end() ? HUGE_VAL : cv::norm(Centre(t->second) - Centre(r->second.box));
      Count(score, iou, distance);
      Count(evaluation.overall, iou, distance);
    }
    score.away = considered - score.frames;
    for (auto r = best.lower_bound({id, first});
         r != best.end() && r->first.first == id && r->first.second <= last; ++r)
      if (!boxes.count(r->first.second)) ++score.awayReports;
    evaluation.overall.away += score.away;
    evaluation.overall.awayReports += score.awayReports;
    // The curve still holds counts here; the overall one gets the same counts.
    Finish(score);
    evaluation.objects.push_back(score);
  }
  Finish(evaluation.overall);
  return evaluation;
}

std::string FormatTable(const Evaluation& evaluation) {
  std::string text = "object  frames  success  AUC    precision@20  reports while away\n";
  char line[160];
  auto add = [&](const Score& s, const std::string& name) {
    std::snprintf(line, sizeof line, "%-7s %6d  %6.1f%%  %.3f  %11.1f%%  %lld / %lld\n",
                  name.c_str(), s.frames, 100 * s.SuccessRate(), s.auc, 100 * s.Precision(),
                  static_cast<long long>(s.awayReports), static_cast<long long>(s.away));
    text += line;
  };
  for (const Score& s : evaluation.objects) add(s, std::to_string(s.id));
  add(evaluation.overall, "all");
  if (evaluation.last < evaluation.first) return text + "no frame scored\n";
  // Options count frames from 0, as the video does; the files from 1, as MOT does.
  std::snprintf(line, sizeof line, "frames %d-%d scored (%d-%d in the files, counted from 1)\n",
                evaluation.first - 1, evaluation.last - 1, evaluation.first, evaluation.last);
  return text + line;
}

std::string FormatJson(const Evaluation& evaluation) {
  // Rates to six decimals, as the table's readers have always had them.
  auto score = [](const Score& s) {
    return Json{{"id", s.id},
                {"frames", s.frames},
                {"success", Rounded(s.SuccessRate(), 6)},
                {"auc", Rounded(s.auc, 6)},
                {"precision20", Rounded(s.Precision(), 6)},
                {"away", s.away},
                {"reportsWhileAway", s.awayReports}};
  };
  Json objects = Json::array();
  for (const Score& s : evaluation.objects) objects.push_back(score(s));
  const bool some = evaluation.last >= evaluation.first;
  return JsonLine({{"objects", std::move(objects)},
                   {"overall", score(evaluation.overall)},
                   {"frames", some ? Json{{"first", evaluation.first - 1},
                                          {"last", evaluation.last - 1},
                                          {"firstInFiles", evaluation.first},
                                          {"lastInFiles", evaluation.last}}
                                   : Json()}});
}

bool WriteSuccessPlot(const Evaluation& evaluation, const std::string& path, std::string& error) {
  const cv::Size size(720, 520);
  const cv::Rect area(70, 30, 600, 420);  // the axes' box
  cv::Mat plot(size, CV_8UC3, cv::Scalar(255, 255, 255));
  auto at = [&](double threshold, double rate) {
    return cv::Point(area.x + static_cast<int>(std::lround(threshold * area.width)),
                     area.br().y - static_cast<int>(std::lround(rate * area.height)));
  };
  const int font = cv::FONT_HERSHEY_SIMPLEX;
  for (int i = 0; i <= 10; ++i) {
    const double v = i / 10.0;
    cv::line(plot, at(v, 0), at(v, 1), cv::Scalar(225, 225, 225), 1);
    cv::line(plot, at(0, v), at(1, v), cv::Scalar(225, 225, 225), 1);
    char label[8];
    std::snprintf(label, sizeof label, "%.1f", v);
    cv::putText(plot, label, at(v, 0) + cv::Point(-12, 20), font, 0.45, cv::Scalar(0, 0, 0), 1,
                cv::LINE_AA);
    cv::putText(plot, label, at(0, v) + cv::Point(-34, 5), font, 0.45, cv::Scalar(0, 0, 0), 1,
                cv::LINE_AA);
  }
  cv::rectangle(plot, area, cv::Scalar(0, 0, 0), 1);
  cv::putText(plot, "IoU threshold", cv::Point(area.x + area.width / 2 - 55, size.height - 12),
              font, 0.55, cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
  cv::putText(plot, "success rate", cv::Point(8, area.y - 10), font, 0.55, cv::Scalar(0, 0, 0), 1,
              cv::LINE_AA);

  std::vector<std::pair<const Score*, std::string>> lines;
  for (const Score& s : evaluation.objects)
    lines.emplace_back(&s, "object " + std::to_string(s.id));
  lines.emplace_back(&evaluation.overall, "all");
  for (size_t i = 0; i < lines.size(); ++i) {
    const Score& s = *lines[i].first;
    const bool all = i + 1 == lines.size();
    const cv::Scalar colour = all ? cv::Scalar(0, 0, 0) : LineColour(i);
    for (int k = 0; k + 1 < kThresholds; ++k)
      cv::line(plot, at(Threshold(k), s.curve[k]), at(Threshold(k + 1), s.curve[k + 1]), colour,
               all ? 3 : 2, cv::LINE_AA);
    char legend[64];
    std::snprintf(legend, sizeof legend, "%s [AUC %.3f]", lines[i].second.c_str(), s.auc);
    // Bottom left, where success curves seldom go.
    const cv::Point corner(area.x + 16,
                           area.br().y - 14 - 24 * static_cast<int>(lines.size() - 1 - i));
    cv::line(plot, corner + cv::Point(0, -5), corner + cv::Point(28, -5), colour, all ? 3 : 2,
             cv::LINE_AA);
    cv::putText(plot, legend, corner + cv::Point(36, 0), font, 0.5, cv::Scalar(0, 0, 0), 1,
                cv::LINE_AA);
  }
  try {
    if (cv::imwrite(path, plot)) return true;
    error = path + ": cannot be written as an image";
  } catch (const cv::Exception& e) {
    error = path + ": " + e.err;
  }
  return false;
}

}  // namespace vizmoro_cli
