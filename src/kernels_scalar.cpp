// The kernels in the build's baseline instructions: the table sweep in OpenCV's universal
// intrinsics (plain comparisons where it has none), the contrasts one cell at a time. Every
// processor runs them, and the other tables answer as they do.
#include <opencv2/core/hal/intrin.hpp>

#include "child_table_sweep.hpp"
#include "descriptor.hpp"
#include "kernels.hpp"

namespace vizmoro::detail {

namespace {

#if CV_SIMD
struct UniversalLanes {
  static constexpr int kLanes = cv::v_uint16::nlanes;
  using Vector = cv::v_uint16;
  static Vector Load(const int16_t* p) { return cv::v_reinterpret_as_u16(cv::vx_load(p)); }
  static Vector Load(const uint16_t* p) { return cv::vx_load(p); }
  static Vector Broadcast(int16_t v) { return cv::vx_setall_u16(static_cast<uint16_t>(v)); }
  static Vector Zero() { return cv::vx_setzero_u16(); }
  static Vector AddBound(Vector sum, Vector values, Vector probe) {
    return sum + Difference(values, probe);  // saturating
  }
  static Vector AddBoundKept(Vector sum, Vector values, Vector probe, Vector kept) {
    return sum + (Difference(values, probe) & kept);
  }
  static Vector Difference(Vector a, Vector b) {
    return cv::v_abs(cv::v_sub_wrap(cv::v_reinterpret_as_s16(a), cv::v_reinterpret_as_s16(b)));
  }
  static Vector Min(Vector a, Vector b) { return cv::v_min(a, b); }
  static void Store(uint16_t* p, Vector v) { cv::v_store(p, v); }
  static uint64_t AtMost(Vector v, uint16_t limit) {
    return static_cast<uint64_t>(cv::v_signmask(v <= cv::vx_setall_u16(limit)));
  }
  static uint16_t Least(Vector v) { return cv::v_reduce_min(v); }
  static Vector Fill(Vector v, int count) {
    alignas(64) uint16_t lane[kLanes];
    for (int j = 0; j < kLanes; ++j) lane[j] = static_cast<uint16_t>(j);
    return v | (cv::vx_load(lane) >= cv::vx_setall_u16(static_cast<uint16_t>(count)));
  }
};
#endif

Closest TableClosestScalar(const ChildTable& table, const int16_t* windows, uint16_t* bounds) {
#if CV_SIMD
  return SweepTable<UniversalLanes>(table, windows, bounds);
#else
  Closest best;
  for (int c = 0; c < table.columns; ++c) CompareColumn(table, c, windows, best);
  return best;
#endif
}

void ContrastRowScalar(const uint32_t* a, const uint32_t* b, int n, int16_t* out) {
  for (int c = 0; c < n; ++c) out[c] = CellContrast(a[c], b[c]);
}

bool Everywhere() {
  return true;
}

}  // namespace

const Kernels kScalarKernels = {"scalar", Everywhere, TableClosestScalar, ContrastRowScalar};

}  // namespace vizmoro::detail
