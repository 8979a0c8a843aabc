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

// CellContrast of four pairs at a time, in double precision as the plain one computes it.
void ContrastRowAvx2(const uint32_t* a, const uint32_t* b, int n, int16_t* out) {
  const __m256d scale = _mm256_set1_pd(32767.0), bias = _mm256_set1_pd(2147483648.0);
  const __m128i flip = _mm_set1_epi32(static_cast<int>(0x80000000u));
  int c = 0;
  for (; c + 4 <= n; c += 4) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + c));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + c));
    // Unsigned 32-bit values to double, exactly: flip the top bit, convert, add 2^31 back.
    const __m256d da = _mm256_add_pd(_mm256_cvtepi32_pd(_mm_xor_si128(va, flip)), bias);
    const __m256d db = _mm256_add_pd(_mm256_cvtepi32_pd(_mm_xor_si128(vb, flip)), bias);
    // Where both are black, any divisor but 0 will do: the value is 0 there.
    const __m128i black = _mm_cmpeq_epi32(_mm_or_si128(va, vb), _mm_setzero_si128());
    const __m256d big = _mm256_max_pd(_mm256_max_pd(da, db), _mm256_set1_pd(1.0));
    const __m256d small = _mm256_min_pd(da, db);
    // small * 32767 is exact (below 2^47); the truncated quotient is exact (see CellContrast).
    const __m256d quotient = _mm256_div_pd(_mm256_mul_pd(small, scale), big);
    const __m128i magnitude = _mm_andnot_si128(
        black, _mm_sub_epi32(_mm_set1_epi32(32767), _mm256_cvttpd_epi32(quotient)));
    alignas(16) int32_t m[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(m), magnitude);
    for (int j = 0; j < 4; ++j)
      out[c + j] = static_cast<int16_t>(a[c + j] > b[c + j] ? m[j] : -m[j]);
  }
  for (; c < n; ++c) {
    const uint32_t big = a[c] > b[c] ? a[c] : b[c], small = a[c] > b[c] ? b[c] : a[c];
    int magnitude = 0;
    if (big != 0)
      magnitude = 32767 - static_cast<int>(static_cast<double>(uint64_t{small} * 32767) / big);
    out[c] = static_cast<int16_t>(a[c] > b[c] ? magnitude : -magnitude);
  }
}
