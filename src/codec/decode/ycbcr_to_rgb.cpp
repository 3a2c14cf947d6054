#include "ycbcr_to_rgb.hpp"

#include "cpu_isa.hpp"

int tonvik_ycbcr_to_rgb3(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                         const unsigned char* cr, int count) {
#if defined(__x86_64__)
  using tonvik::cpu::isa;
  if (tonvik::cpu::runs(isa::avx2)) return tonvik::codec::ycbcr_to_rgb3_avx2(out, y, cb, cr, count);
#else
  (void)out, (void)y, (void)cb, (void)cr, (void)count;
#endif
  return 0;
}
