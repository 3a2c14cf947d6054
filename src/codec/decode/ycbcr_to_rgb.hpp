// The JPEG reader's colour conversion for 3-byte RGB output, eight pixels at a
// time with AVX2. stb converts YCbCr to RGB in 32-bit fixed point, one pixel
// at a time, and has a SIMD version only for 4-byte output, with 16-bit
// precision and other results. This one performs stb's scalar operations
// exactly, per lane: the same products, the same rounding and clamping, so
// every byte is the same (the tests try all 2^24 inputs).
//
// Writes whole groups of eight pixels while at least ten remain, and never
// past the 3 x count bytes of the row; returns how many pixels it converted
// (0 below the avx2 level, cpu_isa.hpp). stb's own loop converts the rest.
#pragma once

// Plain name, no namespace: the patched stb loader calls it.
int tonvik_ycbcr_to_rgb3(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                         const unsigned char* cr, int count);

namespace tonvik::codec {

#if defined(__x86_64__)
// The AVX2 kernel (x86/ycbcr_to_rgb_avx2.cpp), for the avx2 level only.
int ycbcr_to_rgb3_avx2(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                       const unsigned char* cr, int count);
#endif

}  // namespace tonvik::codec
