// The table sweep with AVX-512 (BW), thirty-two children at a time, for processors that have it.
// Built with -mavx512f -mavx512bw and called only where the processor reports both.
#include <immintrin.h>

// GCC 12 sees the undefined vectors inside its own AVX-512 intrinsics as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "child_table_sweep.hpp"

namespace {

struct Avx512Lanes {
  static constexpr int kLanes = 32;
  using Vector = __m512i;
  static Vector Load(const int16_t* p) { return _mm512_loadu_si512(p); }
  static Vector Load(const uint16_t* p) { return _mm512_loadu_si512(p); }
  static Vector Broadcast(int16_t v) { return _mm512_set1_epi16(v); }
  static Vector Zero() { return _mm512_setzero_si512(); }
  static Vector AddBound(Vector sum, Vector values, Vector probe) {
    return _mm512_adds_epu16(sum, _mm512_abs_epi16(_mm512_sub_epi16(values, probe)));
  }
  static Vector AddBoundKept(Vector sum, Vector values, Vector probe, Vector kept) {
    return _mm512_adds_epu16(
        sum, _mm512_and_si512(kept, _mm512_abs_epi16(_mm512_sub_epi16(values, probe))));
  }
  static Vector Min(Vector a, Vector b) { return _mm512_min_epu16(a, b); }
  static void Store(uint16_t* p, Vector v) { _mm512_storeu_si512(p, v); }
  static uint16_t Least(Vector v) {
    const __m256i half = _mm256_min_epu16(_mm512_castsi512_si256(v),
                                          _mm512_castsi512_si256(_mm512_shuffle_i64x2(v, v, 0xee)));
    const __m128i quarter =
        _mm_min_epu16(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    return static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(quarter)));
  }
  static Vector Fill(Vector v, int count) {
    return _mm512_mask_mov_epi16(_mm512_set1_epi16(-1), (__mmask32{1} << count) - 1, v);
  }
  static uint64_t AtMost(Vector v, uint16_t limit) {
    return _mm512_cmple_epu16_mask(v, _mm512_set1_epi16(static_cast<int16_t>(limit)));
  }
};

}  // namespace

Closest TableClosestAvx512(const ChildTable& table, const int16_t* windows, uint16_t* bounds) {
  return SweepTable<Avx512Lanes>(table, windows, bounds);
}
