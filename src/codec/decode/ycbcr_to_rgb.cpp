#include "ycbcr_to_rgb.hpp"

namespace {

#if defined(__x86_64__)
bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

}  // namespace

int tonvik_ycbcr_to_rgb3(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                         const unsigned char* cr, int count) {
#if defined(__x86_64__)
  static const bool avx2 = has_avx2();
  if (avx2) return tonvik::codec::ycbcr_to_rgb3_avx2(out, y, cb, cr, count);
#else
  (void)out, (void)y, (void)cb, (void)cr, (void)count;
#endif
  return 0;
}
