// The AVX2 scan encoder: eight lanes, each running the portable path's scalar
// sequence on its own value. The DCT runs over rows with one lane per row,
// the block is transposed, and it runs over columns with one lane per column.
// Compiled for the avx2 level (TONVIK_TARGET_AVX2): no FMA, so a multiply
// and an add stay two roundings, as in the scalar writer.
#if defined(__x86_64__)

#include <immintrin.h>

#include "cpu_isa.hpp"

#define TONVIK_SCAN_TARGET TONVIK_TARGET_AVX2
#include "encode/jpeg_scan.hpp"

namespace tonvik::codec::jpeg {

namespace {

// The byte positions of R, G and B of eight pixels: the first six Rs, five
// Gs, five Bs lie in the first 16 bytes, the rest in the next 8.
TONVIK_TARGET_AVX2 inline __m256 channel(__m128i first16, __m128i next8, __m128i from_first,
                                         __m128i from_next) {
  const __m128i bytes =
      _mm_or_si128(_mm_shuffle_epi8(first16, from_first), _mm_shuffle_epi8(next8, from_next));
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
}

TONVIK_TARGET_AVX2 inline void transpose8(__m256* r) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
  const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
  const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
  const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
  const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 s7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

TONVIK_TARGET_AVX2 inline void dct_lanes(__m256* d) {
  dct8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], _mm256_set1_ps(dct_c4), _mm256_set1_ps(dct_c6),
       _mm256_set1_ps(dct_c2_minus_c6), _mm256_set1_ps(dct_c2_plus_c6));
}

struct avx2_kernel {
  TONVIK_TARGET_AVX2 static void convert(const unsigned char* const rows[], int x, int width, float* y,
                                         float* cb, float* cr) {
    const __m128i red_first = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i red_next = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i green_first = _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i green_next = _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 3, 6, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i blue_first = _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i blue_next = _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, -1, -1, -1, -1, -1, -1, -1, -1);
    unsigned char copy[24];
    for (int r = 0; r < 8; ++r) {
      const unsigned char* p = group_pixels(rows[r], x, width, copy);
      const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i next = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 16));
      const __m256 red = channel(first, next, red_first, red_next);
      const __m256 green = channel(first, next, green_first, green_next);
      const __m256 blue = channel(first, next, blue_first, blue_next);
      _mm256_store_ps(y + r * 8, ((_mm256_set1_ps(0.29900f) * red + _mm256_set1_ps(0.58700f) * green) +
                                  _mm256_set1_ps(0.11400f) * blue) -
                                     _mm256_set1_ps(128.0f));
      _mm256_store_ps(cb + r * 8, (_mm256_set1_ps(-0.16874f) * red - _mm256_set1_ps(0.33126f) * green) +
                                      _mm256_set1_ps(0.50000f) * blue);
      _mm256_store_ps(cr + r * 8, (_mm256_set1_ps(0.50000f) * red - _mm256_set1_ps(0.41869f) * green) -
                                      _mm256_set1_ps(0.08131f) * blue);
    }
  }

  TONVIK_TARGET_AVX2 static void transform(const float* samples, const float* reciprocals,
                                           prepared_block& block) {
    __m256 d[8];
    for (int i = 0; i < 8; ++i) d[i] = _mm256_load_ps(samples + i * 8);
    transpose8(d);
    dct_lanes(d);  // d[k]: coefficient k of each row
    transpose8(d);
    dct_lanes(d);  // d[u]: row u of the coefficients

    std::uint64_t nonzero = 0;
    for (int u = 0; u < 8; ++u) {
      const __m256 v = d[u] * _mm256_loadu_ps(reciprocals + u * 8);
      const __m256 half = _mm256_or_ps(_mm256_and_ps(v, _mm256_set1_ps(-0.0f)), _mm256_set1_ps(0.5f));
      const __m256i q = _mm256_cvttps_epi32(v + half);
      if (u == 0) block.dc = _mm_cvtsi128_si32(_mm256_castsi256_si128(q));
      const int zero = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(q, _mm256_setzero_si256())));
      nonzero |= zigzag_mask[u][~zero & 0xFF];
      // Bit length from the exponent of |q| as a float (exact below 2^24).
      const __m256i sign = _mm256_srai_epi32(q, 31);
      const __m256i magnitude = _mm256_abs_epi32(q);
      const __m256i exponent =
          _mm256_and_si256(_mm256_castps_si256(_mm256_cvtepi32_ps(magnitude)), _mm256_set1_epi32(0x7F800000));
      const __m256i length = _mm256_sub_epi32(_mm256_srli_epi32(exponent, 23), _mm256_set1_epi32(126));
      const __m256i mask =
          _mm256_sub_epi32(_mm256_sllv_epi32(_mm256_set1_epi32(1), length), _mm256_set1_epi32(1));
      const __m256i value = _mm256_and_si256(_mm256_add_epi32(q, sign), mask);
      _mm256_store_si256(reinterpret_cast<__m256i*>(block.words + u * 8),
                         _mm256_or_si256(value, _mm256_slli_epi32(length, 16)));
    }
    block.nonzero = nonzero;
  }
};

}  // namespace

TONVIK_TARGET_AVX2 bool encode_scan_avx2(const scan_job& job) { return encode_scan<avx2_kernel>(job); }

}  // namespace tonvik::codec::jpeg

#endif
