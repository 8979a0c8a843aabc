#include "result_display.hpp"

#include <algorithm>
#include <memory>

#include <opencv2/imgproc.hpp>

namespace vizmoro {

const char kObjectLabels[10][64] = {"Hand-open",  "Hand-close",  "Book",        "Post card",
                                    "Body spray", "Toy \"Dog\"", "Toy \"Pig\"", "Clock",
                                    "Hand",       "Test area"};

const char* ObjectLabel(uint32_t index, char (&scratch)[32]) {
  if (index >= 1 && index <= 10) return kObjectLabels[index - 1];
  std::snprintf(scratch, sizeof scratch, "Object %u", static_cast<unsigned>(index));
  return scratch;
}

namespace {

// Colours as blue, green, red.
const cv::Scalar kMatchColour(255, 128, 0);
const cv::Scalar kObjectColour(255, 0, 0);
const cv::Scalar kLabelColour(0, 255, 255);
const cv::Scalar kRelearnColour(255, 255, 0);
const cv::Scalar kTrailColour(255, 255, 0);
const cv::Scalar kHeadColour(0, 255, 0);
const cv::Scalar kTimeColour(0, 255, 0);

constexpr int kFont = cv::FONT_HERSHEY_DUPLEX;
constexpr double kFontScale = 1.0;
constexpr int kFontThickness = 2;

void DrawBox(cv::Mat& image, const cv::Rect& r, const cv::Scalar& colour, int thickness) {
  cv::rectangle(image, cv::Point(r.x, r.y), cv::Point(r.x + r.width, r.y + r.height), colour,
                thickness, cv::LINE_8, 0);
}

// Adds the box centre to the object's trail and draws the trail. The first report of an
// object only attaches an empty trail.
void UpdateTrail(cv::Mat& image, const cv::Rect& r, std::unique_ptr<AMUserBlock>& slot) {
  if (!slot) {
    slot = std::make_unique<TrackTrail>();
    return;
  }
  auto* trail = dynamic_cast<TrackTrail*>(slot.get());
  if (!trail) return;  // a block that is not ours

  constexpr int n = TrackTrail::kCapacity;
  std::copy(trail->points + 1, trail->points + n, trail->points);
  // Arithmetic shifts: halves of negative sizes round toward minus infinity.
  trail->points[n - 1] = cv::Point(r.x + (r.width >> 1), r.y + (r.height >> 1));
  if (trail->pointCount < n) ++trail->pointCount;
  if (trail->pointCount <= 2) return;

  for (int k = n - 2; k >= n - trail->pointCount; --k)
    cv::line(image, trail->points[k], trail->points[k + 1], kTrailColour, 2, cv::LINE_8, 0);
  cv::circle(image, trail->points[n - 1], 4, kHeadColour, 2, cv::LINE_8, 0);
}

}  // namespace

void ShowRecognitionResult(int code, uint32_t* objectIndex, RcgAMResult* result, void* userData) {
  auto* display = static_cast<ResultDisplay*>(userData);
  if (!display || !display->image) return;
  cv::Mat& image = *display->image;
  std::FILE* out = display->out ? display->out : stdout;

  if (code == RCG_AM_BEGIN) {
    display->startTicks = static_cast<double>(cv::getTickCount());
    display->ticksPerMs = cv::getTickFrequency() / 1000.0;  // the frequency is per second
    return;
  }
  if (code == RCG_AM_END) {
    const double now = static_cast<double>(cv::getTickCount());
    char text[64];
    std::snprintf(text, sizeof text, "%5.1f ms", (now - display->startTicks) / display->ticksPerMs);
    cv::putText(image, text, cv::Point(0, 24), kFont, kFontScale, kTimeColour, kFontThickness,
                cv::LINE_8);
    return;
  }
  if (code < RCG_AM_MATCH || code > RCG_AM_RELEARN || !result) return;

  char scratch[32];
  const char* label = ObjectLabel(objectIndex ? *objectIndex : 0, scratch);
  const cv::Rect& r = result->rect;
  switch (code) {
    case RCG_AM_MATCH:
      DrawBox(image, r, kMatchColour, 1);
      std::fprintf(out, "R   Obj: [%s] ...... Similarity: %7.4f\n", label, result->similarity);
      break;
    case RCG_AM_OBJECT:
    case RCG_AM_TRACK:
      DrawBox(image, r, kObjectColour, 2);
      cv::putText(image, label, cv::Point(r.x + 10, r.y + r.height + 24), kFont, kFontScale,
                  kLabelColour, kFontThickness, cv::LINE_8);
      std::fprintf(out, "G-T Obj: [%s] ...... Similarity: %7.4f\n", label, result->similarity);
      if (result->userSlot) UpdateTrail(image, r, *result->userSlot);
      break;
    case RCG_AM_RELEARN:
      DrawBox(image, r, kRelearnColour, 2);
      std::fprintf(out, "L   Obj: [%s] ...... Similarity: %7.4f, Bases: %lu\n", label,
                   result->similarity, static_cast<unsigned long>(result->bases));
      break;
  }
}

}  // namespace vizmoro
