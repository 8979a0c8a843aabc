// The kernels with AVX-512 (BW): the table sweep thirty-two children at a time, the contrasts
// sixteen cells at a time, the last ones masked. Built with -mavx512f -mavx512bw and run only
// where the processor reports both.
#include <immintrin.h>

// GCC 12 sees the undefined vectors inside its own AVX-512 intrinsics as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "child_table_sweep.hpp"
#include "kernels.hpp"

namespace vizmoro::detail {

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

Closest TableClosestAvx512(const ChildTable& table, const int16_t* windows, uint16_t* bounds) {
  return SweepTable<Avx512Lanes>(table, windows, bounds);
}

// CellContrast of sixteen pairs at a time, in double precision as the plain one computes it.
void ContrastRowAvx512(const uint32_t* a, const uint32_t* b, int n, int16_t* out) {
  const __m512d scale = _mm512_set1_pd(32767.0), one = _mm512_set1_pd(1.0);
  const __m512i top = _mm512_set1_epi32(32767), zero = _mm512_setzero_si512();
  for (int c = 0; c < n; c += 16) {
    const __mmask16 live = n - c >= 16 ? __mmask16{0xffff} : __mmask16((1u << (n - c)) - 1);
    const __m512i va = _mm512_maskz_loadu_epi32(live, a + c);
    const __m512i vb = _mm512_maskz_loadu_epi32(live, b + c);
    // Eight quotients per half; small * 32767 is exact (below 2^47), and the truncated quotient
    // is exact (see CellContrast). Where both cells are black any divisor but 0 will do.
    auto quotients = [&](__m256i ha, __m256i hb) {
      const __m512d da = _mm512_cvtepu32_pd(ha), db = _mm512_cvtepu32_pd(hb);
      const __m512d big = _mm512_max_pd(_mm512_max_pd(da, db), one);
      return _mm512_cvttpd_epi32(_mm512_div_pd(_mm512_mul_pd(_mm512_min_pd(da, db), scale), big));
    };
    const __m512i high = _mm512_shuffle_i64x2(va, vb, 0xee);  // the upper halves of both
    const __m256i low = quotients(_mm512_castsi512_si256(va), _mm512_castsi512_si256(vb));
    const __m256i upper =
        quotients(_mm512_castsi512_si256(high), _mm512_extracti64x4_epi64(high, 1));
    const __m512i quotient = _mm512_inserti64x4(_mm512_castsi256_si512(low), upper, 1);
    const __mmask16 black = _mm512_cmpeq_epi32_mask(_mm512_or_si512(va, vb), zero);
    const __m512i magnitude = _mm512_maskz_sub_epi32(~black, top, quotient);
    const __mmask16 brighter = _mm512_cmpgt_epu32_mask(va, vb);
    const __m512i value =
        _mm512_mask_mov_epi32(_mm512_sub_epi32(zero, magnitude), brighter, magnitude);
    _mm512_mask_cvtepi32_storeu_epi16(out + c, live, value);
  }
}

bool Supported() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

}  // namespace

const Kernels kAvx512Kernels = {"avx512", Supported, TableClosestAvx512, ContrastRowAvx512};

}  // namespace vizmoro::detail
