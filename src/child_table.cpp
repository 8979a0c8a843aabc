#include "child_table.hpp"

#include <algorithm>
#include <cstdlib>

#include <opencv2/core/hal/intrin.hpp>

#include "descriptor.hpp"

namespace {

// A difference of two values is at most 65534, so 65536 of them fit a 32-bit sum.
constexpr int kBlock = 65536;

}  // namespace

void OffsetDistances(const int16_t* values, const int16_t* windows, int n, uint64_t d[4]) {
  d[0] = d[1] = d[2] = d[3] = 0;
  for (int start = 0; start < n; start += kBlock) {
    const int end = std::min(n, start + kBlock);
    uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int i = start; i < end; ++i) {
      const int v = values[i];
      const uint32_t keep = v != AM_EMPTY_CELL ? ~0u : 0u;
      s0 += static_cast<uint32_t>(std::abs(v - windows[i])) & keep;
      s1 += static_cast<uint32_t>(std::abs(v - windows[n + i])) & keep;
      s2 += static_cast<uint32_t>(std::abs(v - windows[2 * n + i])) & keep;
      s3 += static_cast<uint32_t>(std::abs(v - windows[3 * n + i])) & keep;
    }
    d[0] += s0;
    d[1] += s1;
    d[2] += s2;
    d[3] += s3;
  }
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
const bool kAvx2 = __builtin_cpu_supports("avx2");
constexpr int kAvx2Lanes = 16;
#else
constexpr bool kAvx2 = false;
constexpr int kAvx2Lanes = 1;
#endif

}  // namespace

bool HasAvx2() {
  return kAvx2;
}

void TableClosest(const ChildTable& table, int n, const int16_t* windows, uint32_t* distance,
                  uint32_t* offset) {
  if (kAvx2)
    TableClosestAvx2(table.values.data(), table.stride, n, windows, distance, offset);
  else
    TableClosestPortable(table, n, windows, distance, offset);
}

void TableClosestPortable(const ChildTable& table, int n, const int16_t* windows,
                          uint32_t* distance, uint32_t* offset) {
  const int stride = table.stride;
#if CV_SIMD
  constexpr int kLanes = cv::v_int16::nlanes, kHalf = cv::v_uint32::nlanes;
  const cv::v_int16 empty = cv::vx_setall_s16(AM_EMPTY_CELL);
  for (int c = 0; c < stride; c += kLanes) {
    cv::v_uint32 sum[4][2];
    for (auto& pair : sum) pair[0] = pair[1] = cv::vx_setzero_u32();
    for (int i = 0; i < n; ++i) {
      const cv::v_int16 v = cv::vx_load(table.values.data() + static_cast<size_t>(i) * stride + c);
      const cv::v_uint16 keep = cv::v_reinterpret_as_u16(v != empty);
      for (int k = 0; k < 4; ++k) {
        const cv::v_uint16 d = cv::v_absdiff(v, cv::vx_setall_s16(windows[k * n + i])) & keep;
        cv::v_uint32 low, high;
        cv::v_expand(d, low, high);
        sum[k][0] += low;
        sum[k][1] += high;
      }
    }
    for (int half = 0; half < 2; ++half) {
      cv::v_uint32 best = sum[0][half], code = cv::vx_setzero_u32();
      for (int k = 1; k < 4; ++k) {
        const cv::v_uint32 smaller = sum[k][half] < best;  // strictly: the lower code wins ties
        code = cv::v_select(smaller, cv::vx_setall_u32(static_cast<unsigned>(k)), code);
        best = cv::v_min(best, sum[k][half]);
      }
      cv::v_store(distance + c + kHalf * half, best);
      cv::v_store(offset + c + kHalf * half, code);
    }
  }
#else
  for (int c = 0; c < stride; ++c) {
    std::vector<int16_t> column(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) column[i] = table.values[static_cast<size_t>(i) * stride + c];
    uint64_t d[4];
    OffsetDistances(column.data(), windows, n, d);
    int best = 0;
    for (int k = 1; k < 4; ++k)
      if (d[k] < d[best]) best = k;
    distance[c] = static_cast<uint32_t>(d[best]);
    offset[c] = static_cast<uint32_t>(best);
  }
#endif
}

int TableStride(int children) {
#if CV_SIMD
  constexpr int kSimdLanes = cv::v_int16::nlanes;
#else
  constexpr int kSimdLanes = 1;
#endif
  const int kLanes = std::max(kSimdLanes, kAvx2Lanes);
  return std::max(kLanes, (children + kLanes - 1) / kLanes * kLanes);
}
