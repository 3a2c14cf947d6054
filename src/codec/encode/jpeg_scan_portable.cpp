// The portable scan encoder: one value at a time, in the scalar writer's own
// order. It runs on CPUs without a SIMD path and is the readable reference
// the SIMD kernels are held to.
#include "jpeg_scan.hpp"

namespace tonvik::codec::jpeg {

namespace {

struct portable_kernel {
  static void convert(const unsigned char* const rows[], int x, int width, float* y, float* cb, float* cr) {
    unsigned char copy[24];
    for (int r = 0; r < 8; ++r) {
      const unsigned char* pixels = group_pixels(rows[r], x, width, copy);
      for (int c = 0; c < 8; ++c) to_ycbcr(pixels + 3 * c, y[r * 8 + c], cb[r * 8 + c], cr[r * 8 + c]);
    }
  }

  static void transform(const float* samples, const float* reciprocals, prepared_block& block) {
    float d[64];
    for (int i = 0; i < 64; ++i) d[i] = samples[i];
    for (int r = 0; r < 64; r += 8) {
      dct8(d[r], d[r + 1], d[r + 2], d[r + 3], d[r + 4], d[r + 5], d[r + 6], d[r + 7], dct_c4, dct_c6,
           dct_c2_minus_c6, dct_c2_plus_c6);
    }
    for (int c = 0; c < 8; ++c) {
      dct8(d[c], d[c + 8], d[c + 16], d[c + 24], d[c + 32], d[c + 40], d[c + 48], d[c + 56], dct_c4, dct_c6,
           dct_c2_minus_c6, dct_c2_plus_c6);
    }
    block.nonzero = 0;
    for (int i = 0; i < 64; ++i) {
      const float v = d[i] * reciprocals[i];
      const int q = static_cast<int>(v < 0 ? v - 0.5f : v + 0.5f);
      if (i == 0) block.dc = q;
      if (q == 0) {
        block.words[i] = 0;
        continue;
      }
      block.nonzero |= std::uint64_t{1} << zigzag_of[i];
      const unsigned magnitude = q < 0 ? 0u - static_cast<unsigned>(q) : static_cast<unsigned>(q);
      const int length = 32 - __builtin_clz(magnitude);
      const unsigned value = static_cast<unsigned>(q < 0 ? q - 1 : q) & ((1u << length) - 1);
      block.words[i] = value | static_cast<std::uint32_t>(length) << 16;
    }
  }
};

}  // namespace

bool encode_scan_portable(const scan_job& job) { return encode_scan<portable_kernel>(job); }

}  // namespace tonvik::codec::jpeg
