// The result display: the callback that draws and prints what the memory reports while it
// searches and tracks, and the trail it keeps for every tracked object.
#ifndef VIZMORO_APP_RESULT_DISPLAY_HPP
#define VIZMORO_APP_RESULT_DISPLAY_HPP

#include <cstdint>
#include <cstdio>

#include <opencv2/core.hpp>
#include <vizmoro/associative_memory.hpp>

namespace vizmoro {

// Names of object indices 1 to 10 (record i - 1 names index i).
extern const char kObjectLabels[10][64];

// The label of an object index. Indices without a name get "Object <index>", written into
// `scratch`.
const char* ObjectLabel(uint32_t index, char (&scratch)[32]);

// The last centres of one tracked object's box, kept in the object's user block.
struct TrackTrail : AMUserBlock {
  static constexpr int kCapacity = 100;
  // The valid points are the last pointCount elements, oldest first, newest last.
  cv::Point points[kCapacity] = {};
  int pointCount = 0;
};

// What ShowRecognitionResult needs; pass its address as the callback's userData.
struct ResultDisplay {
  cv::Mat* image = nullptr;  // the result image to draw on
  std::FILE* out = stdout;   // where the object lines go
  // Pass timing: the tick count at the last RCG_AM_BEGIN and the ticks per millisecond.
  double startTicks = 0.0;
  double ticksPerMs = 1.0;
};

// The RcgAMFunc of the program. userData is a ResultDisplay.
void ShowRecognitionResult(int code, uint32_t* objectIndex, RcgAMResult* result, void* userData);

}  // namespace vizmoro

#endif  // VIZMORO_APP_RESULT_DISPLAY_HPP
