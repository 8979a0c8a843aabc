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
inline int cells(const Lattice& lattice, int g, int level) {
  const int m = std::min<int>(level, lattice.maxLevels);
  const int divisor = 1 << (lattice.maxLevels - m + 1);
  const int offset = m >= 1 ? 1 << (m - 1) : 0;
  return g / divisor - offset - 1;
}

inline int levelCols(const Lattice& lattice, int level) {
  return cells(lattice, lattice.gridWidth, level);
}
inline int levelRows(const Lattice& lattice, int level) {
  return cells(lattice, lattice.gridHeight, level);
}
inline int levelCols(const AssocContext& context, int level) {
  return levelCols(context.lattice, level);
}
inline int levelRows(const AssocContext& context, int level) {
  return levelRows(context.lattice, level);
}

// The window a full recall walk ends in at the area's own size: that of the deepest level that
// compares (the area itself for one level). Found rectangles are this size times the size at
// which their window was read.
inline cv::Size innerWindow(const Lattice& l) {
  const int deepest = l.levels - 1;
  if (deepest == 0) return cv::Size(l.width, l.height);
  return cv::Size(
      static_cast<int>(l.levelSpans[deepest].x * (static_cast<float>(l.width) / l.gridWidth)),
      static_cast<int>(l.levelSpans[deepest].y * (static_cast<float>(l.height) / l.gridHeight)));
}

}  // namespace vizmoro::detail

#endif  // VIZMORO_GEOMETRY_HPP
