// The fixed tables of the baseline JPEG writer: coefficient order, the
// example quantisation and Huffman tables every file of ours carries, and the
// Huffman codes prepared for the block coder. All are built at compile time;
// nothing here depends on the image or the quality.
//
// Internal to the codec: the writer's set-up (jpeg_writer.cpp) and its block
// coders (jpeg_scan.hpp) read them; nothing outside src/codec includes this.
#pragma once

#include <array>
#include <cstdint>

namespace tonvik::codec::jpeg {

// zigzag_of[natural] is the position in zigzag order of the coefficient at
// natural (row-major) index `natural`; natural_of is its inverse.
extern const std::array<std::uint8_t, 64> zigzag_of;
extern const std::array<std::uint8_t, 64> natural_of;

// Quantisation bases in natural order, scaled by quality at set-up.
extern const std::array<int, 64> luma_quant_base;
extern const std::array<int, 64> chroma_quant_base;

// The DCT's output scale per row and per column; the quantiser divides it out.
extern const std::array<float, 8> dct_scale;

// One Huffman table as the DHT segment carries it: code counts per length
// 1..16, then the symbols in code order.
struct dht_table {
  std::array<std::uint8_t, 16> counts;
  const std::uint8_t* symbols;
  int symbol_count;
};
extern const dht_table luma_dc_dht;
extern const dht_table luma_ac_dht;
extern const dht_table chroma_dc_dht;
extern const dht_table chroma_ac_dht;

// A symbol's code shifted left by the number of value bits that follow it
// (the low 4 bits of the symbol), and the total bit count: one OR of the
// value bits gives the whole field. A symbol the table has no code for
// keeps code 0 and length 0 before its value bits: a writer that indexes the
// table blindly emits just the value bits for it, and so do we.
struct prepared_code {
  std::uint32_t bits;
  std::uint32_t length;
};
using prepared_table = std::array<prepared_code, 256>;
extern const prepared_table luma_dc_codes;
extern const prepared_table luma_ac_codes;
extern const prepared_table chroma_dc_codes;
extern const prepared_table chroma_ac_codes;

// The end-of-block and sixteen-zero-run codes, unshifted (their symbols
// carry no value bits).
inline constexpr std::uint8_t end_of_block = 0x00;
inline constexpr std::uint8_t zero_run_16 = 0xF0;

// zigzag_mask[row][b] has bit zigzag_of[row * 8 + c] set for every bit c of b:
// eight lookups turn a block's row-major nonzero map into zigzag order.
extern const std::array<std::array<std::uint64_t, 256>, 8> zigzag_mask;

}  // namespace tonvik::codec::jpeg
