#include "child_table.hpp"

#include <algorithm>
#include <cstdlib>

#include <opencv2/core/hal/intrin.hpp>

#include "descriptor.hpp"

namespace vizmoro::detail {

namespace {

// A difference of two values is at most 65534, so 65536 of them fit a 32-bit sum.
constexpr int kBlock = 65536;

// The widest sweep's lanes: every table's stride is a whole number of them.
constexpr int kWidestLanes = 32;

}  // namespace

void OffsetDistances(const int16_t* values, const int16_t* windows, int n, uint64_t d[4]) {
  d[0] = d[1] = d[2] = d[3] = 0;
  for (int start = 0; start < n; start += kBlock) {
    const int end = std::min(n, start + kBlock);
    uint32_t s[4] = {0, 0, 0, 0};
    int i = start;
#if CV_SIMD
    constexpr int kLanes = cv::v_int16::nlanes;
    const cv::v_int16 empty = cv::vx_setall_s16(AM_EMPTY_CELL);
    cv::v_uint32 sum[4] = {cv::vx_setzero_u32(), cv::vx_setzero_u32(), cv::vx_setzero_u32(),
                           cv::vx_setzero_u32()};
    for (; i + kLanes <= end; i += kLanes) {
      const cv::v_int16 v = cv::vx_load(values + i);
      const cv::v_uint16 kept = cv::v_reinterpret_as_u16(v != empty);
      for (int k = 0; k < 4; ++k) {
        // The difference of two values fits 16 bits unsigned.
        const cv::v_uint16 difference = cv::v_absdiff(v, cv::vx_load(windows + k * n + i)) & kept;
        cv::v_uint32 low, high;
        cv::v_expand(difference, low, high);
        sum[k] += low + high;
      }
    }
    for (int k = 0; k < 4; ++k) s[k] = cv::v_reduce_sum(sum[k]);
#endif
    for (; i < end; ++i) {
      const int v = values[i];
      if (v == AM_EMPTY_CELL) continue;
      for (int k = 0; k < 4; ++k) s[k] += static_cast<uint32_t>(std::abs(v - windows[k * n + i]));
    }
    for (int k = 0; k < 4; ++k) d[k] += s[k];
  }
}

void FillTable(ChildTable& table, int n, const std::vector<const int16_t*>& children) {
  table.columns = static_cast<int>(children.size());
  table.n = n;
  table.stride = TableStride(table.columns);
  table.shift = TableShift(n);
  table.hasEmpty = std::any_of(children.begin(), children.end(), [n](const int16_t* values) {
    return std::find(values, values + n, AM_EMPTY_CELL) != values + n;
  });
  table.exact.resize(static_cast<size_t>(n) * table.columns);
  table.coarse.assign(static_cast<size_t>(n) * table.stride, 0);
  table.kept.assign(table.hasEmpty ? table.coarse.size() : 0, 0);
  for (int c = 0; c < table.columns; ++c) {
    std::copy_n(children[c], n, table.exact.data() + static_cast<size_t>(c) * n);
    for (int i = 0; i < n; ++i) {
      const int16_t v = children[c][i];
      if (v == AM_EMPTY_CELL) continue;
      const size_t at = static_cast<size_t>(i) * table.stride + c;
      table.coarse[at] = static_cast<int16_t>(v >> table.shift);
      if (table.hasEmpty) table.kept[at] = -1;
    }
  }
}

void CompareColumn(const ChildTable& table, int c, const int16_t* windows, Closest& best) {
  uint64_t d[4];
  OffsetDistances(table.exact.data() + static_cast<size_t>(c) * table.n, windows, table.n, d);
  const int offset = LeastOffset(d);
  if (d[offset] < best.distance || (d[offset] == best.distance && c < best.column))
    best = Closest{c, d[offset], offset};
}

int TableStride(int children) {
  return std::max(kWidestLanes, (children + kWidestLanes - 1) / kWidestLanes * kWidestLanes);
}

int TableShift(int n) {
  // With differences of about 16384 on average, n of them shifted stay below 2^16.
  int shift = 1;
  while (shift < 15 && int64_t{n} * 16384 > int64_t{65535} << shift) ++shift;
  return shift;
}

}  // namespace vizmoro::detail
