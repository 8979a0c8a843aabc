// Lattice geometry of the interest area.
#ifndef VIZMORO_GEOMETRY_HPP
#define VIZMORO_GEOMETRY_HPP

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "memory_state.hpp"

namespace vizmoro::detail {

// Largest interest-area side. The scratch tables grow with the square of the deepest lattice,
// which doubles with the side: at 4096 pixels they take about 10 MB.
constexpr int kMaxAreaSide = 4096;

// 2 to the power of the number of significant bits of d (1 for d <= 0).
inline int bitPow(int d) {
  int result = 1;
  for (; d > 0; d >>= 1) result <<= 1;
  return result;
}

// Grid units spanned by an interest-area side of `side` pixels: 40, 80, 160, ...
inline int gridUnits(int side) {
  return 10 * bitPow((side / 10) >> 1);
}

// Levels a grid of gridWidth x gridHeight units allows.
inline int16_t gridMaxLevels(int gridWidth, int gridHeight) {
  const int g = std::min(gridWidth, gridHeight);
  return static_cast<int16_t>(static_cast<int>(std::log(g / 6) / std::log(2.0)) + 1);
}

// Lattice cells along a grid dimension g at tree level `level`.
inline int cells(const AssocContext& context, int g, int level) {
  const int m = std::min<int>(level, context.maxLevels);
  const int divisor = 1 << (context.maxLevels - m + 1);
  const int offset = m >= 1 ? 1 << (m - 1) : 0;
  return g / divisor - offset - 1;
}

inline int levelCols(const AssocContext& context, int level) {
  return cells(context, context.gridWidth, level);
}
inline int levelRows(const AssocContext& context, int level) {
  return cells(context, context.gridHeight, level);
}

// The window a full recall walk ends in at the area's own size: that of the deepest level that
// compares (the area itself for one level). Found rectangles are this size times the size at
// which their window was read.
inline cv::Size innerWindow(const AssocContext& c) {
  const int deepest = c.levels - 1;
  if (deepest == 0) return cv::Size(c.width, c.height);
  return cv::Size(
      static_cast<int>(c.levelSpans[deepest].x * (static_cast<float>(c.width) / c.gridWidth)),
      static_cast<int>(c.levelSpans[deepest].y * (static_cast<float>(c.height) / c.gridHeight)));
}

}  // namespace vizmoro::detail

#endif  // VIZMORO_GEOMETRY_HPP
