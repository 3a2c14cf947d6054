// The SIMD kernels. Lanes hold the channels of one texel (R, G, B, pad), so a
// vector operation is exactly the scalar operation on each channel: the same
// products and sums in the same order, no fused multiply-add (the AVX2 kernel
// is compiled with TONVIK_TARGET_AVX2, which never asks for "fma"). The AVX2
// kernel runs both fetches of a pixel side by side, the first in the low
// half, the second in the high half.
#include "map_kernel.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstring>

namespace vireth::image::kernel {

namespace {

// Pixels per block: a block's 12 bytes are all read before any of its results
// is written, and no write reaches past them into pixels still to be read.
// The SSE2 kernel gathers its results in a 16-byte buffer, each pixel as one
// 4-byte store whose spare byte the next pixel overwrites.
constexpr std::size_t block_pixels = 4;

// The blend (c1 - c0) * t + c0 needs no branch: t is never 1 (it is
// b - floor(b)), and at t == 0 it gives c0 exactly, as the scalar shortcut
// does: (c1 - c0) * 0 is a zero and c0 + (+-0) is c0.
inline __m128 blend(__m128 c0, __m128 c1, const float* t) {
  return _mm_add_ps(_mm_mul_ps(_mm_sub_ps(c1, c0), _mm_load1_ps(t)), c0);
}

// The low 8 bits of the first three 32-bit integers, as the scalar cast keeps
// them, in the low three bytes.
inline std::uint32_t bytes_sse2(__m128i truncated) {
  const __m128i low = _mm_and_si128(truncated, _mm_set1_epi32(0xFF));
  const __m128i words = _mm_packs_epi32(low, low);
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(words, words)));
}

inline __m128 fetch_sse2(const float* near_row, const float* far_row, const column_entry& c, int k,
                         const row_entry& row) {
  const __m128 ax = _mm_set1_ps(c.ax[k]);
  const __m128 one_minus_ax = _mm_sub_ps(_mm_set1_ps(1.0f), ax);
  const __m128 ay = _mm_set1_ps(row.ay);
  const __m128 one_minus_ay = _mm_set1_ps(row.one_minus_ay);
  const __m128 d00 = _mm_loadu_ps(near_row + c.pair[k]);
  const __m128 d10 = _mm_loadu_ps(near_row + c.pair[k] + texel_floats);
  const __m128 d01 = _mm_loadu_ps(far_row + c.pair[k]);
  const __m128 d11 = _mm_loadu_ps(far_row + c.pair[k] + texel_floats);
  __m128 sum = _mm_mul_ps(_mm_mul_ps(d10, ax), one_minus_ay);
  sum = _mm_add_ps(sum, _mm_mul_ps(_mm_mul_ps(d00, one_minus_ax), one_minus_ay));
  sum = _mm_add_ps(sum, _mm_mul_ps(_mm_mul_ps(d01, one_minus_ax), ay));
  return _mm_add_ps(sum, _mm_mul_ps(_mm_mul_ps(d11, ax), ay));
}

inline std::uint32_t pixel_sse2(const kernel_tables& tables, const float* texels, const std::uint8_t* px) {
  const blue_entry& blue = tables.blues[px[2]];
  const column_entry& column = tables.columns[blue.columns + px[0]];
  const row_entry& row = tables.rows[px[1]];
  const float* near_row = texels + row.near;
  const float* far_row = texels + row.far;
  const __m128 c0 = fetch_sse2(near_row, far_row, column, 0, row);
  const __m128 c1 = fetch_sse2(near_row, far_row, column, 1, row);
  return bytes_sse2(_mm_cvttps_epi32(blend(c0, c1, &blue.t)));
}

// Both fetches of a pixel: the first in the low half, the second in the high.
TONVIK_TARGET_AVX2 inline __m256 sums_avx2(const float* texels, const column_entry& c, const row_entry& row) {
  const float* near_row = texels + row.near;
  const float* far_row = texels + row.far;
  // One load per row and fetch brings the pair (x0, x1); the shuffles regroup
  // them so that each texel of the quad holds both fetches.
  const __m256 near0 = _mm256_loadu_ps(near_row + c.pair[0]);
  const __m256 near1 = _mm256_loadu_ps(near_row + c.pair[1]);
  const __m256 far0 = _mm256_loadu_ps(far_row + c.pair[0]);
  const __m256 far1 = _mm256_loadu_ps(far_row + c.pair[1]);
  const __m256 d00 = _mm256_permute2f128_ps(near0, near1, 0x20);
  const __m256 d10 = _mm256_permute2f128_ps(near0, near1, 0x31);
  const __m256 d01 = _mm256_permute2f128_ps(far0, far1, 0x20);
  const __m256 d11 = _mm256_permute2f128_ps(far0, far1, 0x31);
  const __m128 ax_pair = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(c.ax)));
  const __m256 ax =
      _mm256_permutevar8x32_ps(_mm256_castps128_ps256(ax_pair), _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1));
  const __m256 one_minus_ax = _mm256_sub_ps(_mm256_set1_ps(1.0f), ax);
  const __m256 ay = _mm256_broadcast_ss(&row.ay);
  const __m256 one_minus_ay = _mm256_broadcast_ss(&row.one_minus_ay);
  __m256 sum = _mm256_mul_ps(_mm256_mul_ps(d10, ax), one_minus_ay);
  sum = _mm256_add_ps(sum, _mm256_mul_ps(_mm256_mul_ps(d00, one_minus_ax), one_minus_ay));
  sum = _mm256_add_ps(sum, _mm256_mul_ps(_mm256_mul_ps(d01, one_minus_ax), ay));
  return _mm256_add_ps(sum, _mm256_mul_ps(_mm256_mul_ps(d11, ax), ay));
}

// Two pixels' blends side by side, the first pixel's in the low half; each
// half's integers truncated, as the scalar cast truncates.
TONVIK_TARGET_AVX2 inline __m256i two_pixels_avx2(__m256 first, __m256 second,
                                                  const float* t_first, const float* t_second) {
  const __m256 c0 = _mm256_permute2f128_ps(first, second, 0x20);
  const __m256 c1 = _mm256_permute2f128_ps(first, second, 0x31);
  const __m256 t = _mm256_set_m128(_mm_broadcast_ss(t_second), _mm_broadcast_ss(t_first));
  return _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(_mm256_sub_ps(c1, c0), t), c0));
}

// Four pixels' 12 bytes from two pairs of truncated channels: the low 8 bits
// of each integer (bytes 0, 4 and 8 of each half), as the scalar cast keeps
// them, in pixel order.
TONVIK_TARGET_AVX2 inline __m128i four_pixels_avx2(__m256i first_pair, __m256i second_pair) {
  const __m256i first_pick = _mm256_setr_epi8(0, 4, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                              -1, -1, -1, 0, 4, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i second_pick =
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, 0, 4, 8, -1, -1, -1, -1, -1, -1, -1,  //
                       -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, -1, -1, -1, -1);
  const __m256i both = _mm256_or_si256(_mm256_shuffle_epi8(first_pair, first_pick),
                                       _mm256_shuffle_epi8(second_pair, second_pick));
  return _mm_or_si128(_mm256_castsi256_si128(both), _mm256_extracti128_si256(both, 1));
}

TONVIK_TARGET_AVX2 inline std::uint32_t pixel_avx2(const kernel_tables& tables, const float* texels,
                                                   const std::uint8_t* px) {
  const blue_entry& blue = tables.blues[px[2]];
  const __m256 sums = sums_avx2(texels, tables.columns[blue.columns + px[0]], tables.rows[px[1]]);
  const __m128i truncated =
      _mm_cvttps_epi32(blend(_mm256_castps256_ps128(sums), _mm256_extractf128_ps(sums, 1), &blue.t));
  const __m128i low_bytes = _mm_setr_epi8(0, 4, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi8(truncated, low_bytes)));
}

inline void put_three(std::uint8_t* px, std::uint32_t bytes) {
  px[0] = static_cast<std::uint8_t>(bytes);
  px[1] = static_cast<std::uint8_t>(bytes >> 8);
  px[2] = static_cast<std::uint8_t>(bytes >> 16);
}

}  // namespace

void run_sse2(const kernel_tables& tables, std::uint8_t* rgb, std::size_t count) {
  const float* texels = tables.texels.data();
  std::size_t i = 0;
  for (; i + block_pixels <= count; i += block_pixels) {
    std::uint8_t* px = rgb + 3 * i;
    std::uint8_t out[4 * block_pixels];
    for (std::size_t j = 0; j < block_pixels; ++j) {
      const std::uint32_t bytes = pixel_sse2(tables, texels, px + 3 * j);
      std::memcpy(out + 3 * j, &bytes, 4);
    }
    std::memcpy(px, out, 3 * block_pixels);
  }
  for (; i < count; ++i) put_three(rgb + 3 * i, pixel_sse2(tables, texels, rgb + 3 * i));
}

TONVIK_TARGET_AVX2 void run_avx2(const kernel_tables& tables, std::uint8_t* rgb, std::size_t count) {
  const float* texels = tables.texels.data();
  const column_entry* columns = tables.columns.data();
  const row_entry* rows = tables.rows.data();
  const blue_entry* blues = tables.blues.data();
  std::size_t i = 0;
  for (; i + block_pixels <= count; i += block_pixels) {
    std::uint8_t* px = rgb + 3 * i;
    __m256 sums[block_pixels];
    const float* t[block_pixels];
    for (std::size_t k = 0; k < block_pixels; ++k) {
      const blue_entry& blue = blues[px[3 * k + 2]];
      sums[k] = sums_avx2(texels, columns[blue.columns + px[3 * k]], rows[px[3 * k + 1]]);
      t[k] = &blue.t;
    }
    const __m128i bytes = four_pixels_avx2(two_pixels_avx2(sums[0], sums[1], t[0], t[1]),
                                           two_pixels_avx2(sums[2], sums[3], t[2], t[3]));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(px), bytes);
    const std::uint32_t last = static_cast<std::uint32_t>(_mm_extract_epi32(bytes, 2));
    std::memcpy(px + 8, &last, 4);
  }
  for (; i < count; ++i) put_three(rgb + 3 * i, pixel_avx2(tables, texels, rgb + 3 * i));
}

}  // namespace vireth::image::kernel

#endif
