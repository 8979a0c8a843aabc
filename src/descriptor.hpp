// The patch descriptor: a grid of signed 16-bit contrasts between diagonal neighbour cells of a
// window, summed from the integral image.
#ifndef VIZMORO_DESCRIPTOR_HPP
#define VIZMORO_DESCRIPTOR_HPP

#include <algorithm>
#include <cstdint>

#include <opencv2/core.hpp>

namespace vizmoro::detail {

// A value whose two cells had too little mask coverage.
constexpr int16_t AM_EMPTY_CELL = -32768;

// Describes the window (x, y, width, height) of the image whose integral image is given
// (CV_32SC1, one row and column larger than the image) by cols x rows values, row by row. The
// window is cut into (cols + 1) x (rows + 1) equal cells; value (c, r) compares cell (c, r) with
// cell (c + 1, r + 1): 32767 - floor(32767 * darker / brighter), positive when the upper-left
// cell is brighter. With a mask (8-bit, the image's size; empty for none), a pair of cells with
// at most a tenth of its pixels nonzero gives AM_EMPTY_CELL. A window reaching outside the
// image is clipped to it. Returns the number of empty values.
int CalcDescriptor(const cv::Mat& integral, int x, int y, int width, int height, int cols, int rows,
                   int16_t* values, const cv::Mat& mask);

// The value of two cells whose pixels sum to a and b: 32767 - floor(32767 * darker / brighter),
// positive when the first is brighter; 0 when both are black.
inline int16_t CellContrast(uint32_t a, uint32_t b) {
  const uint32_t big = std::max(a, b), small = std::min(a, b);
  if (big == 0) return 0;
  // floor(small * 32767 / big) in double precision, which is exact here and far quicker than a
  // 64-bit division: the product is below 2^47, so it converts exactly, and the quotient (at
  // most 32767) is off by at most 2^-38, less than its distance 1 / big > 2^-32 to any integer it
  // does not equal.
  const int quotient = static_cast<int>(static_cast<double>(uint64_t{small} * 32767) / big);
  const int magnitude = 32767 - quotient;
  return static_cast<int16_t>(a > b ? magnitude : -magnitude);
}

// L1 distance of two descriptors of cols x rows values, skipping the values where `a` is empty
// (so the order of the arguments matters).
uint64_t DescriptorDistance(int cols, int rows, const int16_t* a, const int16_t* b);

}  // namespace vizmoro::detail

#endif  // VIZMORO_DESCRIPTOR_HPP
