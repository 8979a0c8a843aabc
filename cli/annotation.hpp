// What the annotated frames show: each object's box in its own colour, with a label above it.
#ifndef VIZMORO_CLI_ANNOTATION_HPP
#define VIZMORO_CLI_ANNOTATION_HPP

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace vizmoro_cli {

// The colour of an object, in BGR.
cv::Scalar ObjectColour(uint32_t id);

// A box and its label above it.
void DrawLabelledBox(cv::Mat& frame, const cv::Rect& box, const cv::Scalar& colour,
                     const std::string& label, int thickness = 2);

// A tracked object: "ID NAME SIMILARITY"; one `coasting` (listed where it was last seen, not seen
// on this frame) thin and grey, "ID NAME SIMILARITY not seen".
void Annotate(cv::Mat& frame, uint32_t id, const std::string& name, const cv::Rect& box,
              double similarity, bool coasting = false);

// An object's taught box on a frame it is taught on: "ID NAME taught", in a thinner line.
void AnnotateTaught(cv::Mat& frame, uint32_t id, const std::string& name, const cv::Rect& box);

// A ground-truth box: thin and white, "ID truth" below it.
void AnnotateTruth(cv::Mat& frame, uint32_t id, const cv::Rect& box);

}  // namespace vizmoro_cli

#endif  // VIZMORO_CLI_ANNOTATION_HPP
