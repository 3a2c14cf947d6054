// zlib-ng's table of kernels, for its inflater alone. The release's own table
// (functable.c, not pinned) also points at every compressor and checksum
// kernel it has, which would bring all of them into the module; raw inflate
// calls two entries, inflate_fast and chunkmemset_safe, and this file sets
// those from the one CPU probe every SIMD path of ours asks, so
// TONVIK_FORCE_ISA pins them too. zlib-ng calls force_init from
// zng_inflateInit2 before any kernel; the checksum and compressor entries
// stay null, as raw deflate (window bits -15, decode/inflate_stream.cpp)
// never reaches them.
extern "C" {
#include "functable.h"
#include "arch_functions.h"
#if defined(X86_FEATURES)
#include "cpu_features.h"
#elif defined(ARM_NEON)
#include "arch/arm/arm_functions.h"
#endif
}

#include "cpu_isa.hpp"

namespace {

int kernels_chosen() { return 0; }

// Every thread that gets here first stores the same pointers, each whole.
template <typename T>
void publish(T& entry, T value) {
  __atomic_store_n(&entry, value, __ATOMIC_RELEASE);
}

int choose_kernels() {
#if defined(X86_FEATURES)
  // SSSE3 lies between our sse2 and avx2 levels: zlib-ng's own probe tells
  // it apart within sse2.
  if (tonvik::cpu::runs(tonvik::cpu::isa::avx2)) {
    publish(functable.inflate_fast, &inflate_fast_avx2);
    publish(functable.chunkmemset_safe, &chunkmemset_safe_avx2);
  } else if (tonvik::cpu::runs(tonvik::cpu::isa::sse2)) {
    cpu_features cpu;
    cpu_check_features(&cpu);
    publish(functable.inflate_fast, cpu.x86.has_ssse3 ? &inflate_fast_ssse3 : &inflate_fast_sse2);
    publish(functable.chunkmemset_safe, cpu.x86.has_ssse3 ? &chunkmemset_safe_ssse3 : &chunkmemset_safe_sse2);
  } else {
    publish(functable.inflate_fast, &inflate_fast_c);
    publish(functable.chunkmemset_safe, &chunkmemset_safe_c);
  }
#elif defined(ARM_NEON)
  // Advanced SIMD is part of every ARMv8-A core: nothing to probe.
  publish(functable.inflate_fast, &inflate_fast_neon);
  publish(functable.chunkmemset_safe, &chunkmemset_safe_neon);
#else
  publish(functable.inflate_fast, &inflate_fast_c);
  publish(functable.chunkmemset_safe, &chunkmemset_safe_c);
#endif
  publish(functable.force_init, &kernels_chosen);
  return 0;
}

// Set before any code runs: only the first force_init, the rest null.
constexpr functable_s before_the_first_stream() {
  functable_s table{};
  table.force_init = &choose_kernels;
  return table;
}

}  // namespace

extern "C" {
struct functable_s functable = before_the_first_stream();
}
