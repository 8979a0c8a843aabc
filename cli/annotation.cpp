#include "annotation.hpp"

#include <cstdio>
#include <iterator>

#include <opencv2/imgproc.hpp>

namespace vizmoro_cli {

cv::Scalar ObjectColour(uint32_t id) {
  static const cv::Scalar kColours[] = {{0, 140, 255}, {60, 200, 60}, {220, 80, 200},
                                        {255, 160, 0}, {0, 220, 255}, {200, 60, 60}};
  return kColours[id % std::size(kColours)];
}

void DrawLabelledBox(cv::Mat& frame, const cv::Rect& box, const cv::Scalar& colour,
                     const std::string& label, int thickness) {
  cv::rectangle(frame, box, colour, thickness);
  cv::putText(frame, label, box.tl() + cv::Point(2, -6), cv::FONT_HERSHEY_SIMPLEX, 0.6, colour, 2,
              cv::LINE_AA);
}

void Annotate(cv::Mat& frame, uint32_t id, const std::string& name, const cv::Rect& box,
              double similarity, bool coasting) {
  char label[160];
  std::snprintf(label, sizeof label, "%u %s %.2f%s", id, name.c_str(), similarity,
                coasting ? " not seen" : "");
  if (coasting)
    DrawLabelledBox(frame, box, cv::Scalar(160, 160, 160), label, 1);
  else
    DrawLabelledBox(frame, box, ObjectColour(id), label);
}

void AnnotateTaught(cv::Mat& frame, uint32_t id, const std::string& name, const cv::Rect& box) {
  DrawLabelledBox(frame, box, ObjectColour(id), std::to_string(id) + " " + name + " taught", 1);
}

void AnnotateTruth(cv::Mat& frame, uint32_t id, const cv::Rect& box) {
  // Labelled below the box, clear of a result's label above it.
  const cv::Scalar white(255, 255, 255);
  cv::rectangle(frame, box, white, 1);
  cv::putText(frame, std::to_string(id) + " truth", cv::Point(box.x + 2, box.br().y + 16),
              cv::FONT_HERSHEY_SIMPLEX, 0.5, white, 1, cv::LINE_AA);
}

}  // namespace vizmoro_cli
