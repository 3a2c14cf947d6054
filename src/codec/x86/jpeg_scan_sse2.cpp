// The SSE2 scan encoder: four lanes, each running the portable path's scalar
// sequence on its own value. A block is four 4x4 tiles; the DCT runs over
// rows with one lane per row, the tiles are transposed, and it runs over
// columns with one lane per column.
#include "encode/jpeg_scan.hpp"

#if defined(__x86_64__)

#include <emmintrin.h>

namespace tonvik::codec::jpeg {

namespace {

// R, G, B of four pixels, from three vectors holding them interleaved
// (r0 g0 b0 r1 | g1 b1 r2 g2 | b2 r3 g3 b3).
inline void deinterleave(__m128 v0, __m128 v1, __m128 v2, __m128& r, __m128& g, __m128& b) {
  r = _mm_shuffle_ps(v0, _mm_shuffle_ps(v1, v2, _MM_SHUFFLE(1, 1, 2, 2)), _MM_SHUFFLE(2, 0, 3, 0));
  g = _mm_shuffle_ps(_mm_shuffle_ps(v0, v1, _MM_SHUFFLE(0, 0, 1, 1)),
                     _mm_shuffle_ps(v1, v2, _MM_SHUFFLE(2, 2, 3, 3)), _MM_SHUFFLE(2, 0, 2, 0));
  b = _mm_shuffle_ps(_mm_shuffle_ps(v0, v1, _MM_SHUFFLE(1, 1, 2, 2)), v2, _MM_SHUFFLE(3, 0, 2, 0));
}

inline __m128 widen(__m128i bytes16, bool high) {
  const __m128i zero = _mm_setzero_si128();
  return _mm_cvtepi32_ps(high ? _mm_unpackhi_epi16(bytes16, zero) : _mm_unpacklo_epi16(bytes16, zero));
}

inline void to_ycbcr4(__m128 r, __m128 g, __m128 b, float* y, float* cb, float* cr) {
  _mm_store_ps(y, ((_mm_set1_ps(0.29900f) * r + _mm_set1_ps(0.58700f) * g) + _mm_set1_ps(0.11400f) * b) -
                      _mm_set1_ps(128.0f));
  _mm_store_ps(cb, (_mm_set1_ps(-0.16874f) * r - _mm_set1_ps(0.33126f) * g) + _mm_set1_ps(0.50000f) * b);
  _mm_store_ps(cr, (_mm_set1_ps(0.50000f) * r - _mm_set1_ps(0.41869f) * g) - _mm_set1_ps(0.08131f) * b);
}

inline void transpose(__m128& a, __m128& b, __m128& c, __m128& d) { _MM_TRANSPOSE4_PS(a, b, c, d); }

inline void dct_lanes(__m128* d) {
  dct8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], _mm_set1_ps(dct_c4), _mm_set1_ps(dct_c6),
       _mm_set1_ps(dct_c2_minus_c6), _mm_set1_ps(dct_c2_plus_c6));
}

// Quantises four coefficients and prepares their words; returns the 4-bit
// nonzero map.
inline int prepare4(__m128 coefficients, const float* reciprocals, std::uint32_t* words, int& first) {
  const __m128 v = coefficients * _mm_loadu_ps(reciprocals);
  const __m128 half = _mm_or_ps(_mm_and_ps(v, _mm_set1_ps(-0.0f)), _mm_set1_ps(0.5f));
  const __m128i q = _mm_cvttps_epi32(v + half);
  first = _mm_cvtsi128_si32(q);
  const int zero = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(q, _mm_setzero_si128())));
  // Bit length from the exponent of |q| as a float (exact below 2^24), and
  // 2^length from that exponent plus one.
  const __m128i sign = _mm_srai_epi32(q, 31);
  const __m128i magnitude = _mm_sub_epi32(_mm_xor_si128(q, sign), sign);
  const __m128i exponent =
      _mm_and_si128(_mm_castps_si128(_mm_cvtepi32_ps(magnitude)), _mm_set1_epi32(0x7F800000));
  const __m128i length = _mm_sub_epi32(_mm_srli_epi32(exponent, 23), _mm_set1_epi32(126));
  const __m128i power =
      _mm_cvttps_epi32(_mm_castsi128_ps(_mm_add_epi32(exponent, _mm_set1_epi32(0x00800000))));
  const __m128i value = _mm_and_si128(_mm_add_epi32(q, sign), _mm_sub_epi32(power, _mm_set1_epi32(1)));
  _mm_store_si128(reinterpret_cast<__m128i*>(words), _mm_or_si128(value, _mm_slli_epi32(length, 16)));
  return ~zero & 0xF;
}

struct sse2_kernel {
  static void convert(const unsigned char* const rows[], int x, int width, float* y, float* cb, float* cr) {
    unsigned char copy[24];
    const __m128i zero = _mm_setzero_si128();
    for (int r = 0; r < 8; ++r) {
      const unsigned char* p = group_pixels(rows[r], x, width, copy);
      const __m128i a = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
      const __m128i b = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8)), zero);
      const __m128i c = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 16)), zero);
      __m128 red, green, blue;
      deinterleave(widen(a, false), widen(a, true), widen(b, false), red, green, blue);
      to_ycbcr4(red, green, blue, y + r * 8, cb + r * 8, cr + r * 8);
      deinterleave(widen(b, true), widen(c, false), widen(c, true), red, green, blue);
      to_ycbcr4(red, green, blue, y + r * 8 + 4, cb + r * 8 + 4, cr + r * 8 + 4);
    }
  }

  static void transform(const float* samples, const float* reciprocals, prepared_block& block) {
    // top[k], bottom[k]: coefficient k of the rows 0-3 and 4-7, one lane per row.
    __m128 top[8], bottom[8];
    for (int half = 0; half < 2; ++half) {
      __m128* d = half ? bottom : top;
      const float* rows = samples + half * 32;
      for (int i = 0; i < 4; ++i) {
        d[i] = _mm_load_ps(rows + i * 8);
        d[i + 4] = _mm_load_ps(rows + i * 8 + 4);
      }
      transpose(d[0], d[1], d[2], d[3]);
      transpose(d[4], d[5], d[6], d[7]);
      dct_lanes(d);
    }
    // left[j], right[j]: row j, columns 0-3 and 4-7, one lane per column.
    __m128 left[8] = {top[0], top[1], top[2], top[3], bottom[0], bottom[1], bottom[2], bottom[3]};
    __m128 right[8] = {top[4], top[5], top[6], top[7], bottom[4], bottom[5], bottom[6], bottom[7]};
    transpose(left[0], left[1], left[2], left[3]);
    transpose(left[4], left[5], left[6], left[7]);
    transpose(right[0], right[1], right[2], right[3]);
    transpose(right[4], right[5], right[6], right[7]);
    dct_lanes(left);
    dct_lanes(right);

    std::uint64_t nonzero = 0;
    int first = 0;
    int unused = 0;
    for (int u = 0; u < 8; ++u) {
      const int low = prepare4(left[u], reciprocals + u * 8, block.words + u * 8, u == 0 ? first : unused);
      const int high = prepare4(right[u], reciprocals + u * 8 + 4, block.words + u * 8 + 4, unused);
      nonzero |= zigzag_mask[u][low | high << 4];
    }
    block.dc = first;
    block.nonzero = nonzero;
  }
};

}  // namespace

bool encode_scan_sse2(const scan_job& job) { return encode_scan<sse2_kernel>(job); }

}  // namespace tonvik::codec::jpeg

#endif
