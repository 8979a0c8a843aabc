// The kernels with AVX2: the table sweep sixteen children at a time, the contrasts eight cells at
// a time. Built with -mavx2 and run only where the processor reports AVX2; integer arithmetic
// in the sweep and exact double precision in the contrasts, so the answers are those of the
// scalar kernels on any processor.
#include <immintrin.h>

#include "child_table_sweep.hpp"
#include "kernels.hpp"

namespace vizmoro::detail {

namespace {

struct Avx2Lanes {
  static constexpr int kLanes = 16;
  using Vector = __m256i;
  static Vector Load(const int16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static Vector Load(const uint16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static Vector Broadcast(int16_t v) { return _mm256_set1_epi16(v); }
  static Vector Zero() { return _mm256_setzero_si256(); }
  static Vector AddBound(Vector sum, Vector values, Vector probe) {
    return _mm256_adds_epu16(sum, _mm256_abs_epi16(_mm256_sub_epi16(values, probe)));
  }
  static Vector AddBoundKept(Vector sum, Vector values, Vector probe, Vector kept) {
    return _mm256_adds_epu16(
        sum, _mm256_and_si256(kept, _mm256_abs_epi16(_mm256_sub_epi16(values, probe))));
  }
  static Vector Min(Vector a, Vector b) { return _mm256_min_epu16(a, b); }
  static void Store(uint16_t* p, Vector v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
  }
  static uint16_t Least(Vector v) {
    const __m128i half = _mm_min_epu16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(half)));
  }
  static Vector Fill(Vector v, int count) {
    const Vector lane = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm256_or_si256(
        v, _mm256_cmpgt_epi16(lane, _mm256_set1_epi16(static_cast<int16_t>(count - 1))));
  }
  static uint64_t AtMost(Vector v, uint16_t limit) {
    const Vector in = _mm256_cmpeq_epi16(_mm256_min_epu16(v, _mm256_set1_epi16(limit)), v);
    const __m128i bytes =
        _mm_packs_epi16(_mm256_castsi256_si128(in), _mm256_extracti128_si256(in, 1));
    return static_cast<uint32_t>(_mm_movemask_epi8(bytes));
  }
};

Closest TableClosestAvx2(const ChildTable& table, const int16_t* windows, uint16_t* bounds) {
  return SweepTable<Avx2Lanes>(table, windows, bounds);
}

// CellContrast of eight pairs at a time, in double precision as the plain one computes it.
void ContrastRowAvx2(const uint32_t* a, const uint32_t* b, int n, int16_t* out) {
  const __m256d scale = _mm256_set1_pd(32767.0), bias = _mm256_set1_pd(2147483648.0);
  const __m256i flip = _mm256_set1_epi32(static_cast<int>(0x80000000u));
  const __m256i top = _mm256_set1_epi32(32767), zero = _mm256_setzero_si256();
  int c = 0;
  for (; c + 8 <= n; c += 8) {
    const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + c));
    const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + c));
    // Unsigned 32-bit values to double, exactly: flip the top bit, convert, add 2^31 back.
    const __m256i fa = _mm256_xor_si256(va, flip), fb = _mm256_xor_si256(vb, flip);
    auto quotients = [&](__m128i ha, __m128i hb) {
      const __m256d da = _mm256_add_pd(_mm256_cvtepi32_pd(ha), bias);
      const __m256d db = _mm256_add_pd(_mm256_cvtepi32_pd(hb), bias);
      // Where both are black, any divisor but 0 will do: the value is 0 there.
      const __m256d big = _mm256_max_pd(_mm256_max_pd(da, db), _mm256_set1_pd(1.0));
      // small * 32767 is exact (below 2^47); the truncated quotient is exact (see CellContrast).
      return _mm256_cvttpd_epi32(_mm256_div_pd(_mm256_mul_pd(_mm256_min_pd(da, db), scale), big));
    };
    const __m256i quotient = _mm256_setr_m128i(
        quotients(_mm256_castsi256_si128(fa), _mm256_castsi256_si128(fb)),
        quotients(_mm256_extracti128_si256(fa, 1), _mm256_extracti128_si256(fb, 1)));
    const __m256i black = _mm256_cmpeq_epi32(_mm256_or_si256(va, vb), zero);
    const __m256i magnitude = _mm256_andnot_si256(black, _mm256_sub_epi32(top, quotient));
    const __m256i brighter = _mm256_cmpgt_epi32(fa, fb);  // unsigned a > b
    const __m256i value =
        _mm256_blendv_epi8(_mm256_sub_epi32(zero, magnitude), magnitude, brighter);
    // Every value fits 16 bits: packing keeps it.
    const __m128i packed =
        _mm_packs_epi32(_mm256_castsi256_si128(value), _mm256_extracti128_si256(value, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c), packed);
  }
  // The last few through the scalar kernel, built for the baseline: CellContrast compiled here
  // would be AVX code that the linker may pick for every other caller of the inline function.
  kScalarKernels.contrastRow(a + c, b + c, n - c, out + c);
}

bool Supported() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

}  // namespace

const Kernels kAvx2Kernels = {"avx2", Supported, TableClosestAvx2, ContrastRowAvx2};

}  // namespace vizmoro::detail
