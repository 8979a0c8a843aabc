// The table sweep with AVX2, sixteen children at a time, for processors that have it. Built with
// -mavx2 and called only where the processor reports AVX2; integer arithmetic throughout, so the
// results are those of the plain comparison on any processor.
#include <immintrin.h>

#include <cstdint>

void TableClosestAvx2(const int16_t* values, int stride, int n, const int16_t* windows,
                      uint32_t* distance, uint32_t* offset) {
  const __m256i empty = _mm256_set1_epi16(-32768), zero = _mm256_setzero_si256();
  for (int c = 0; c < stride; c += 16) {
    __m256i low[4], high[4];
    for (int k = 0; k < 4; ++k) low[k] = high[k] = zero;
    for (int i = 0; i < n; ++i) {
      const __m256i v = _mm256_loadu_si256(
          reinterpret_cast<const __m256i*>(values + static_cast<size_t>(i) * stride + c));
      const __m256i emptyCell = _mm256_cmpeq_epi16(v, empty);
      for (int k = 0; k < 4; ++k) {
        const __m256i p = _mm256_set1_epi16(windows[k * n + i]);
        // max - min wraps to the difference as an unsigned 16-bit value (at most 65534).
        const __m256i d = _mm256_andnot_si256(
            emptyCell, _mm256_sub_epi16(_mm256_max_epi16(v, p), _mm256_min_epi16(v, p)));
        low[k] = _mm256_add_epi32(low[k], _mm256_unpacklo_epi16(d, zero));
        high[k] = _mm256_add_epi32(high[k], _mm256_unpackhi_epi16(d, zero));
      }
    }
    // Unpacking works within 128-bit halves: low holds children 0-3 and 8-11, high 4-7 and 12-15.
    for (int half = 0; half < 2; ++half) {
      __m256i best = half ? _mm256_permute2x128_si256(low[0], high[0], 0x31)
                          : _mm256_permute2x128_si256(low[0], high[0], 0x20);
      __m256i code = zero;
      for (int k = 1; k < 4; ++k) {
        const __m256i s = half ? _mm256_permute2x128_si256(low[k], high[k], 0x31)
                               : _mm256_permute2x128_si256(low[k], high[k], 0x20);
        const __m256i smaller = _mm256_min_epu32(best, s);
        const __m256i kept = _mm256_cmpeq_epi32(smaller, best);  // s is not strictly smaller
        code = _mm256_blendv_epi8(_mm256_set1_epi32(k), code, kept);
        best = smaller;
      }
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(distance + c + 8 * half), best);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(offset + c + 8 * half), code);
    }
  }
}
