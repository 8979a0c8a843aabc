#include "descriptor.hpp"

#include <algorithm>
#include <cstdlib>

#include <opencv2/imgproc.hpp>

#include "kernels.hpp"

namespace vizmoro::detail {

namespace {

// Sum of the pixels between two integral rows and two integral columns. The arithmetic wraps
// modulo 2^32 like the 32-bit integral image itself, so any cell sum below 2^32 comes out exact.
inline uint32_t cellSum(const int32_t* top, const int32_t* bottom, int x0, int x1) {
  return static_cast<uint32_t>(bottom[x1]) - static_cast<uint32_t>(top[x1]) -
         static_cast<uint32_t>(bottom[x0]) + static_cast<uint32_t>(top[x0]);
}

// True when at most a tenth (the single-precision 0.1) of the pixels of two cells is covered.
// The product of two values below 2^29 and 0.1f is exact in double precision.
inline bool tooLittleCoverage(int covered, int64_t area) {
  return area <= 0 || static_cast<double>(covered) <= static_cast<double>(0.1f) * area;
}

// Cells of a row that the sums of one row of cells are kept for on the stack: more than the
// deepest lattice of any area up to 4096 pixels needs.
constexpr int kRowCells = 1024;

}  // namespace

int CalcDescriptor(const cv::Mat& integral, int x, int y, int width, int height, int cols, int rows,
                   int16_t* values, const cv::Mat& mask) {
  if (cols <= 0 || rows <= 0) return 0;
  int imageWidth = integral.cols - 1, imageHeight = integral.rows - 1;
  const bool masked = !mask.empty();
  if (masked) {
    imageWidth = std::min(imageWidth, mask.cols);
    imageHeight = std::min(imageHeight, mask.rows);
  }
  // Clip the window to the image, in 64 bits so that no sum of coordinates overflows.
  const int64_t left = std::max<int64_t>(x, 0), top = std::max<int64_t>(y, 0);
  const int64_t right = std::min<int64_t>(int64_t{x} + width, imageWidth);
  const int64_t bottom = std::min<int64_t>(int64_t{y} + height, imageHeight);
  x = static_cast<int>(std::min<int64_t>(left, std::max(imageWidth, 0)));
  y = static_cast<int>(std::min<int64_t>(top, std::max(imageHeight, 0)));
  width = static_cast<int>(std::max<int64_t>(right - left, 0));
  height = static_cast<int>(std::max<int64_t>(bottom - top, 0));

  const int cellWidth = width / (cols + 1), cellHeight = height / (rows + 1);
  const int64_t pairArea = 2 * int64_t{cellWidth} * cellHeight;
  if (integral.empty() || (masked && pairArea == 0) || (cellWidth == 0 && !masked) ||
      (cellHeight == 0 && !masked)) {
    // Cells of no area: nothing to compare.
    std::fill_n(values, cols * rows, masked ? AM_EMPTY_CELL : int16_t{0});
    return masked ? cols * rows : 0;
  }

  if (!masked && cols + 1 <= kRowCells) {
    // Each cell's sum once, a row of cells at a time: a value compares a cell of one row with
    // the next cell of the row below. The pairs of as many rows as fit are gathered, so that
    // the contrasts are taken many at once.
    uint32_t upper[kRowCells + 1], lower[kRowCells + 1], spare[kRowCells + 1];
    const int batch = kRowCells / cols;
    for (int r0 = 0; r0 < rows; r0 += batch) {
      const int r1 = std::min(rows, r0 + batch);
      for (int r = r0; r <= r1; ++r) {
        // The sums of cell row r: the upper cells of the pairs of row r, the lower ones of the
        // pairs of row r - 1 (whose first cell no pair takes).
        uint32_t* asUpper = r < r1 ? upper + (r - r0) * cols : spare;
        uint32_t* asLower = r > r0 ? lower + (r - r0 - 1) * cols : spare;
        const int32_t* top = integral.ptr<int32_t>(y + r * cellHeight);
        const int32_t* bottom = integral.ptr<int32_t>(y + (r + 1) * cellHeight);
        // The column sums of the cell row at each cell boundary, then their differences.
        uint32_t previous = static_cast<uint32_t>(bottom[x]) - static_cast<uint32_t>(top[x]);
        for (int c = 0; c <= cols; ++c) {
          const int edge = x + (c + 1) * cellWidth;
          const uint32_t next =
              static_cast<uint32_t>(bottom[edge]) - static_cast<uint32_t>(top[edge]);
          const uint32_t sum = next - previous;
          previous = next;
          if (c < cols) asUpper[c] = sum;
          if (c > 0) asLower[c - 1] = sum;
        }
      }
      ContrastRow(upper, lower, (r1 - r0) * cols, values + r0 * cols);
    }
    return 0;
  }

  // The mask pixels set in each cell, from an integral of the window's mask: four reads a cell.
  cv::Mat covered;
  if (masked) {
    cv::Mat set;
    cv::min(mask(cv::Rect(x, y, width, height)), 1, set);
    cv::integral(set, covered, CV_32S);
  }
  auto coverage = [&](int x0, int y0) {
    const int32_t* top = covered.ptr<int32_t>(y0 - y);
    const int32_t* bottom = covered.ptr<int32_t>(y0 - y + cellHeight);
    return bottom[x0 - x + cellWidth] - top[x0 - x + cellWidth] - bottom[x0 - x] + top[x0 - x];
  };

  int empty = 0;
  for (int r = 0; r < rows; ++r) {
    const int y0 = y + r * cellHeight, y1 = y0 + cellHeight, y2 = y1 + cellHeight;
    const int32_t* row0 = integral.ptr<int32_t>(y0);
    const int32_t* row1 = integral.ptr<int32_t>(y1);
    const int32_t* row2 = integral.ptr<int32_t>(y2);
    int16_t* out = values + r * cols;
    for (int c = 0; c < cols; ++c) {
      const int x0 = x + c * cellWidth, x1 = x0 + cellWidth, x2 = x1 + cellWidth;
      if (masked) {
        if (tooLittleCoverage(coverage(x0, y0) + coverage(x1, y1), pairArea)) {
          out[c] = AM_EMPTY_CELL;
          ++empty;
          continue;
        }
      }
      out[c] = CellContrast(cellSum(row0, row1, x0, x1), cellSum(row1, row2, x1, x2));
    }
  }
  return empty;
}

uint64_t DescriptorDistance(int cols, int rows, const int16_t* a, const int16_t* b) {
  uint64_t sum = 0;
  const int n = cols * rows;
  for (int i = 0; i < n; ++i)
    if (a[i] != AM_EMPTY_CELL) sum += static_cast<uint32_t>(std::abs(int{a[i]} - int{b[i]}));
  return sum;
}

}  // namespace vizmoro::detail
