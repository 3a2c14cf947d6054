// The JPEG reader's YCbCr to RGB step for AVX2 (decode/ycbcr_to_rgb.hpp).
#include "decode/ycbcr_to_rgb.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include "cpu_isa.hpp"

namespace tonvik::codec {

namespace {

// stb's constants, derived as it derives them: the coefficient in 12-bit
// fixed point, rounded in float, then shifted to 20 bits.
constexpr int fixed(float x) { return static_cast<int>(x * 4096.0f + 0.5f) * 256; }

}  // namespace

TONVIK_TARGET_AVX2 int ycbcr_to_rgb3_avx2(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                                          const unsigned char* cr, int count) {
  const __m256i half = _mm256_set1_epi32(1 << 19);
  const __m256i centre = _mm256_set1_epi32(128);
  const __m256i cr_to_r = _mm256_set1_epi32(fixed(1.40200f));
  const __m256i cr_to_g = _mm256_set1_epi32(-fixed(0.71414f));
  const __m256i cb_to_g = _mm256_set1_epi32(-fixed(0.34414f));
  const __m256i cb_to_b = _mm256_set1_epi32(fixed(1.77200f));
  const __m256i high_half = _mm256_set1_epi32(static_cast<int>(0xffff0000u));
  // Per 128-bit lane the packed bytes are r0-3 g0-3 b0-3 b0-3; gather them
  // into r0 g0 b0 r1 g1 b1 ... for four pixels, twelve bytes.
  const __m256i interleave =
      _mm256_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1,  //
                       0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1);
  int i = 0;
  // Each step stores 28 bytes (two 16-byte stores, 12 bytes apart) for 24
  // bytes of pixels: ten pixels left keep both inside the row.
  for (; i + 10 <= count; i += 8, out += 24) {
    const __m256i luma = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y + i)));
    const __m256i blue_diff = _mm256_sub_epi32(
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + i))), centre);
    const __m256i red_diff = _mm256_sub_epi32(
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + i))), centre);
    const __m256i y_fixed = _mm256_add_epi32(_mm256_slli_epi32(luma, 20), half);
    __m256i r = _mm256_add_epi32(y_fixed, _mm256_mullo_epi32(red_diff, cr_to_r));
    __m256i g = _mm256_add_epi32(_mm256_add_epi32(y_fixed, _mm256_mullo_epi32(red_diff, cr_to_g)),
                                 _mm256_and_si256(_mm256_mullo_epi32(blue_diff, cb_to_g), high_half));
    __m256i b = _mm256_add_epi32(y_fixed, _mm256_mullo_epi32(blue_diff, cb_to_b));
    r = _mm256_srai_epi32(r, 20);
    g = _mm256_srai_epi32(g, 20);
    b = _mm256_srai_epi32(b, 20);
    // Saturating packs clamp exactly as stb does: below 0 to 0, above 255 to 255.
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(r, g), _mm256_packs_epi32(b, b));
    const __m256i rgb = _mm256_shuffle_epi8(bytes, interleave);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(rgb));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm256_extracti128_si256(rgb, 1));
  }
  return i;
}

}  // namespace tonvik::codec

#endif
