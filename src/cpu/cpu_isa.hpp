// The instruction-set levels our SIMD paths are written for, and the one
// probe that picks the level this process runs. The engine's LUT kernels,
// the JPEG writer's scan coder and the JPEG reader's YCbCr step all ask
// here; every level gives the same bytes, they differ in speed only.
//
// The CPU is probed once, on first use. TONVIK_FORCE_ISA=portable, sse2 or
// avx2 caps the level for the whole process, so a test run or a bug report
// can pin a path without rebuilding; a level the CPU lacks, or any other
// value, leaves the CPU's own. Nothing throws.
//
//   if (tonvik::cpu::runs(tonvik::cpu::isa::avx2)) convert_avx2(...);
//   else convert_portable(...);
#pragma once

namespace tonvik::cpu {

// Ordered: a level includes every level below it. avx2 means AVX2 with BMI1
// and BMI2, which every AVX2 processor has (the writer's coder uses them).
enum class isa { portable, sse2, avx2 };

// The level this process runs: the CPU's best, capped by TONVIK_FORCE_ISA.
isa chosen() noexcept;

// True when code written for `level` may run here: level <= chosen().
bool runs(isa level) noexcept;

// "portable", "sse2" or "avx2": the spelling TONVIK_FORCE_ISA takes.
const char* name_of(isa level) noexcept;

}  // namespace tonvik::cpu

// Compiles one function for the avx2 level. ISA code is compiled this one
// way, per function, never with per-file -m flags: a per-file flag would also
// compile any inline or template function the file instantiates (a standard
// library one, say) for AVX2, and the linker may keep that copy for callers
// on every CPU. Never "fma": a fused multiply-add rounds once where the
// scalar paths round twice.
#define TONVIK_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2")))
