// The fast LUT step: the exact arithmetic of the scalar sampler
// (sampler.hpp), reorganised so that everything a pixel's bytes determine on
// their own is computed once per image instead of once per pixel.
//
// What depends on what, per pixel (R, G, B):
//   G alone     the two strip rows and the vertical weight of both fetches;
//   B alone     the blue tile (an integer) and the blend factor t;
//   R and tile  the two columns and the horizontal weight of each fetch.
// Only the weighted sums and the blend stay per pixel; the SIMD kernels run
// them in the scalar order, so every rounding is the same.
//
// Ownership: kernel_tables owns its copies; it does not keep the lut.
// Failure contract: build() and map_with() throw std::bad_alloc only; the
// caller validates the table (require_samplable) first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cpu_isa.hpp"
#include "lut.hpp"

namespace vireth::image::kernel {

// One kernel, written once per instruction-set level (cpu_isa.hpp): plain
// scalar C++ for portable (the reference the others are tested against),
// SSE2 and AVX2 in map_kernel_x86.cpp. All give the same bytes; they differ
// in speed only.
using tonvik::cpu::isa;

// The strip as floats, four per texel (R, G, B, 0), is what the SIMD kernels
// read; above this many texels (an 80-point table) its copy would outweigh the
// gain and the scalar sampler maps the image directly.
inline constexpr std::uint64_t max_table_texels = 80ull * 80ull * 80ull;

// Floats per texel in the kernels' copy of the strip: R, G, B and a zero that
// pads every texel to one 16-byte vector.
inline constexpr std::uint32_t texel_floats = 4;

// Per green byte: offsets (in floats) of the rows y0 and y1 of both fetches,
// and the vertical weights ay and 1 - ay.
struct row_entry {
  std::uint32_t near;
  std::uint32_t far;
  float ay;
  float one_minus_ay;
};

// Per blue byte: the first column entry of its tile, and the blend factor.
struct blue_entry {
  std::uint32_t columns;
  float t;
};

// Per (tile, red byte): the weight ax of the fetch on the tile (index 0) and
// on the next one (index 1), and the offset (in floats, within a row) of the
// texel pair (x0, x1) each fetch reads: x1 always lies right after x0, so one
// 32-byte load brings both.
struct column_entry {
  alignas(16) float ax[2];
  std::uint32_t pair[2];
};

// Each row of the copy holds the strip's row, then a copy of its last texel
// (x1 clamps to x0 there), then one pair per `extra_pairs` entry for columns
// whose x1 is not x0 + 1 (float rounding in x0 + 1 can skip a texel).
struct column_pair {
  std::uint32_t x0;
  std::uint32_t x1;
};

struct kernel_tables {
  std::vector<float> texels;
  std::uint32_t row_texels = 0;  // texels per row of the copy
  std::vector<column_pair> extra_pairs;
  std::array<row_entry, 256> rows;
  std::array<blue_entry, 256> blues;
  std::vector<column_entry> columns;  // 256 per distinct tile
  // The SIMD kernels blend without the scalar t == 1 shortcut; t = b - floor(b)
  // cannot reach 1, and build() confirms it rather than relying on it.
  bool every_t_below_one = true;
};

// False when the table is too large for the fast kernels (see
// max_table_texels). `table` must have passed require_samplable().
bool fits_tables(const lut& table);

// Fills `out` for `table`; requires fits_tables(table).
void build(const lut& table, kernel_tables& out);

// Maps pixels [0, count) with the kernel for `level`; a level this process
// does not run (tonvik::cpu::runs) maps with the portable one.
void run(isa level, const kernel_tables& tables, std::uint8_t* rgb, std::size_t count);

// The whole LUT step on a validated table, with the kernel for `level` (the
// pipeline passes tonvik::cpu::chosen(); tests and benchmarks each level).
void map_with(isa level, const lut& table, std::uint8_t* rgb, std::size_t count);

#if defined(__x86_64__)
void run_sse2(const kernel_tables& tables, std::uint8_t* rgb, std::size_t count);
void run_avx2(const kernel_tables& tables, std::uint8_t* rgb, std::size_t count);
#endif

}  // namespace vireth::image::kernel
