// The entropy-coded part of a baseline JPEG: minimum coded units in raster
// order, each block transformed, quantised and Huffman-coded, the bits
// packed big-endian with a zero after every 0xFF byte, the last byte padded
// with ones and the end marker after it.
//
// The loop and the coder are written once here and compiled once per
// instruction set: each jpeg_scan_<isa>.cpp (the portable one here, the SIMD
// ones in ../x86/) defines TONVIK_SCAN_TARGET (the target attribute of its
// level, cpu_isa.hpp; empty for portable and SSE2, which x86-64 always has),
// includes this header with its own `kernel` (colour conversion of one block,
// and the transform that prepares a block for the coder) and instantiates
// encode_scan. Every function here carries that attribute and has internal
// linkage, so each file gets its own copy, compiled for its own level.
//
// Exactness: every float step is the scalar writer's own, in its order. The
// colour conversion is ((kr*R + kg*G) + kb*B), luma's 128 subtracted last; the
// DCT runs over rows, then columns, as the butterfly in dct8 spells it;
// quantisation multiplies by the reciprocal table, adds +-0.5 by the sign and
// truncates. Multiplies and adds are never fused (no FMA target anywhere,
// -ffp-contract=off).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byte_sink.hpp"
#include "jpeg_tables.hpp"
#include "row_source.hpp"

#ifndef TONVIK_SCAN_TARGET
#define TONVIK_SCAN_TARGET
#endif

namespace tonvik::codec::jpeg {

// What the set-up hands to a scan encoder. The buffer is the writer's output
// chunk: `chunk` bytes are stuffed into the sink's own buffer at a time, and
// scan_slack more bytes after them take a whole unit's output past the
// chunk's end.
struct scan_job {
  row_source* rows;  // packed RGB, a strip of one unit's rows at a time
  int width;
  int height;
  bool subsample;                   // 2x2 chroma (four luma blocks, one Cb, one Cr per unit)
  const float* luma_reciprocals;    // 64, natural order
  const float* chroma_reciprocals;  // 64, natural order
  unsigned char* buffer;            // the coded bytes, unstuffed: chunk + scan_slack
  std::size_t chunk;
  byte_sink* sink;
};

// More than a unit's worst case: six blocks of at most 1697 bits (a 22-bit
// DC field, 63 AC fields of at most 26 bits, three runs of sixteen zeros of
// at most 11 bits, an end of block of at most 4), plus the 8-byte store in
// flight.
inline constexpr std::size_t scan_slack = 2048;

bool encode_scan_portable(const scan_job& job);
#if defined(__x86_64__)
bool encode_scan_sse2(const scan_job& job);
bool encode_scan_avx2(const scan_job& job);
#endif

namespace {

// One block as the coder needs it. words[natural] holds the coefficient's
// value bits (the low bit-length bits of v, or of v - 1 when v < 0) in its
// low 16 bits and its bit length above; only nonzero coefficients are read.
struct prepared_block {
  int dc;
  std::uint64_t nonzero;  // bit k: the coefficient at zigzag position k is not 0
  alignas(32) std::uint32_t words[64];
};

// stb's forward DCT on eight values, lane by lane: V is float for the
// portable path and a vector of floats for the SIMD paths, whose lanes each
// run this same sequence.
template <class V>
TONVIK_SCAN_TARGET inline void dct8(V& d0, V& d1, V& d2, V& d3, V& d4, V& d5, V& d6, V& d7, V c4, V c6,
                                    V c2_minus_c6, V c2_plus_c6) {
  V tmp0 = d0 + d7;
  V tmp7 = d0 - d7;
  V tmp1 = d1 + d6;
  V tmp6 = d1 - d6;
  V tmp2 = d2 + d5;
  V tmp5 = d2 - d5;
  V tmp3 = d3 + d4;
  V tmp4 = d3 - d4;

  // Even part.
  V tmp10 = tmp0 + tmp3;
  V tmp13 = tmp0 - tmp3;
  V tmp11 = tmp1 + tmp2;
  V tmp12 = tmp1 - tmp2;
  d0 = tmp10 + tmp11;
  d4 = tmp10 - tmp11;
  V z1 = (tmp12 + tmp13) * c4;
  d2 = tmp13 + z1;
  d6 = tmp13 - z1;

  // Odd part.
  tmp10 = tmp4 + tmp5;
  tmp11 = tmp5 + tmp6;
  tmp12 = tmp6 + tmp7;
  V z5 = (tmp10 - tmp12) * c6;
  V z2 = tmp10 * c2_minus_c6 + z5;
  V z4 = tmp12 * c2_plus_c6 + z5;
  V z3 = tmp11 * c4;
  V z11 = tmp7 + z3;
  V z13 = tmp7 - z3;
  d5 = z13 + z2;
  d3 = z13 - z2;
  d1 = z11 + z4;
  d7 = z11 - z4;
}

inline constexpr float dct_c4 = 0.707106781f;
inline constexpr float dct_c6 = 0.382683433f;
inline constexpr float dct_c2_minus_c6 = 0.541196100f;
inline constexpr float dct_c2_plus_c6 = 1.306562965f;

TONVIK_SCAN_TARGET inline void store_big_endian(unsigned char* out, std::uint64_t word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  word = __builtin_bswap64(word);
#endif
  std::memcpy(out, &word, sizeof word);
}

// The bit buffer: `bits` holds `count` pending bits in its low end (bits
// above them are stale and shift out unseen). After every two codes the
// whole bytes go out as one 8-byte store whatever their number, and the
// pointer moves past them: no branch depends on when a byte fills. The bytes
// go out unstuffed; the zero after each 0xFF is put in when the chunk is
// sent (drain).
struct bit_writer {
  std::uint64_t bits = 0;
  int count = 0;  // 0..7 between flushes
  unsigned char* out;

  // Appends the low `length` bits of `value` (no bits set above them). Two
  // codes of at most 26 bits each fit beside the 7 bits a flush leaves.
  TONVIK_SCAN_TARGET void put(std::uint32_t value, int length) {
    bits = (bits << length) | value;
    count += length;
  }

  // Writes the pending whole bytes (1 <= count <= 63). The bytes after them
  // are written again by the next flush.
  TONVIK_SCAN_TARGET void flush() {
    store_big_endian(out, bits << (64 - count));
    out += count >> 3;
    count &= 7;
  }

  // Pads the last byte with one bits and writes it.
  TONVIK_SCAN_TARGET void finish() {
    const int pad = (8 - count) & 7;
    if (pad == 0) return;  // no bits pending
    put((1u << pad) - 1, pad);
    flush();
  }
};

// Codes one block against the previous DC of its component; returns its DC.
// The bit buffer is flushed after the DC code, after every two AC codes, after
// each run of sixteen zeros and after the end of block, so that a put never
// finds more than 33 bits pending.
TONVIK_SCAN_TARGET inline int code_block(bit_writer& state, const prepared_block& block, int previous_dc,
                                         const prepared_table& dc_codes, const prepared_table& ac_codes) {
  // A local copy keeps the bit buffer in registers: the output bytes are
  // written through an unsigned char pointer, which may alias `state`, and
  // would force a store and reload of it around every code.
  bit_writer writer = state;
  const int diff = block.dc - previous_dc;
  const unsigned magnitude = diff < 0 ? 0u - static_cast<unsigned>(diff) : static_cast<unsigned>(diff);
  const int length = magnitude ? 32 - __builtin_clz(magnitude) : 0;
  const unsigned value = static_cast<unsigned>(diff < 0 ? diff - 1 : diff) & ((1u << length) - 1);
  writer.put(dc_codes[length].bits | value, static_cast<int>(dc_codes[length].length));
  writer.flush();

  std::uint64_t pending = block.nonzero & ~std::uint64_t{1};
  unsigned last = 0;
  const auto put_next = [&]() TONVIK_SCAN_TARGET {
    const unsigned k = static_cast<unsigned>(__builtin_ctzll(pending));
    pending &= pending - 1;
    unsigned run = k - last - 1;
    last = k;
    if (__builtin_expect(run > 15, 0)) {
      do {
        writer.put(ac_codes[zero_run_16].bits, static_cast<int>(ac_codes[zero_run_16].length));
        writer.flush();
        run -= 16;
      } while (run > 15);
    }
    const std::uint32_t word = block.words[natural_of[k]];
    const prepared_code& code = ac_codes[(run << 4) | (word >> 16)];
    writer.put(code.bits | (word & 0xFFFF), static_cast<int>(code.length));
  };
  while (pending) {
    put_next();
    if (!pending) break;
    put_next();
    if (!pending) break;
    writer.flush();
  }
  // Every path here has put a code since the last flush, so at most
  // 7 + 26 + 26 + 4 bits are pending and the flush has bits to write.
  if (last != 63) writer.put(ac_codes[end_of_block].bits, static_cast<int>(ac_codes[end_of_block].length));
  writer.flush();
  state = writer;
  return block.dc;
}

// The scalar writer's colour conversion of one pixel, the reference every
// kernel's lanes follow.
TONVIK_SCAN_TARGET inline void to_ycbcr(const unsigned char* pixel, float& y, float& cb, float& cr) {
  const float r = pixel[0], g = pixel[1], b = pixel[2];
  y = +0.29900f * r + 0.58700f * g + 0.11400f * b - 128;
  cb = -0.16874f * r - 0.33126f * g + 0.50000f * b;
  cr = +0.50000f * r - 0.41869f * g - 0.08131f * b;
}

// 4:2:0 units, converted the scalar way: the pipeline subsamples only images
// at most 30 pixels wide, so this path is never the bulk of a call.
template <class Kernel>
TONVIK_SCAN_TARGET void encode_subsampled_unit(const scan_job& job, bit_writer& writer, int x,
                                               const unsigned char* const rows[16], int dc[3]) {
  alignas(32) float y[4][64];
  alignas(32) float cb_full[16][16];
  alignas(32) float cr_full[16][16];
  for (int r = 0; r < 16; ++r) {
    for (int c = 0; c < 16; ++c) {
      const int column = x + c < job.width ? x + c : job.width - 1;
      float luma;
      to_ycbcr(rows[r] + 3 * static_cast<std::size_t>(column), luma, cb_full[r][c], cr_full[r][c]);
      y[(r / 8) * 2 + c / 8][(r % 8) * 8 + c % 8] = luma;
    }
  }
  alignas(32) float cb[64];
  alignas(32) float cr[64];
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      cb[r * 8 + c] = (cb_full[2 * r][2 * c] + cb_full[2 * r][2 * c + 1] + cb_full[2 * r + 1][2 * c] +
                       cb_full[2 * r + 1][2 * c + 1]) *
                      0.25f;
      cr[r * 8 + c] = (cr_full[2 * r][2 * c] + cr_full[2 * r][2 * c + 1] + cr_full[2 * r + 1][2 * c] +
                       cr_full[2 * r + 1][2 * c + 1]) *
                      0.25f;
    }
  }
  prepared_block block;
  for (int i = 0; i < 4; ++i) {
    Kernel::transform(y[i], job.luma_reciprocals, block);
    dc[0] = code_block(writer, block, dc[0], luma_dc_codes, luma_ac_codes);
  }
  Kernel::transform(cb, job.chroma_reciprocals, block);
  dc[1] = code_block(writer, block, dc[1], chroma_dc_codes, chroma_ac_codes);
  Kernel::transform(cr, job.chroma_reciprocals, block);
  dc[2] = code_block(writer, block, dc[2], chroma_dc_codes, chroma_ac_codes);
}

// Copies `size` coded bytes to `out` with a zero byte after every 0xFF, so
// that no coded byte reads as a marker; returns the bytes written.
TONVIK_SCAN_TARGET inline std::size_t stuff_zero_bytes(const unsigned char* in, std::size_t size,
                                                       unsigned char* out) {
  const unsigned char* const end = in + size;
  unsigned char* const start = out;
  for (;;) {
    const auto* ff =
        static_cast<const unsigned char*>(std::memchr(in, 0xFF, static_cast<std::size_t>(end - in)));
    const unsigned char* const stop = ff ? ff + 1 : end;
    std::memcpy(out, in, static_cast<std::size_t>(stop - in));
    out += stop - in;
    in = stop;
    if (!ff) break;
    *out++ = 0;
  }
  return static_cast<std::size_t>(out - start);
}

// The most a drain asks of the sink: the chunk and its slack stuffed (at
// most twice as many bytes), and the end marker.
inline constexpr std::size_t drain_bytes(std::size_t chunk) { return 2 * (chunk + scan_slack) + 2; }

// Stuffs the coded bytes into the sink's buffer once they pass `chunk`; the
// last call (`end`) sends the rest and the end-of-image marker.
TONVIK_SCAN_TARGET inline bool drain(const scan_job& job, bit_writer& writer, bool end) {
  const auto used = static_cast<std::size_t>(writer.out - job.buffer);
  if (!end && used < job.chunk) return true;
  writer.out = job.buffer;
  unsigned char* const out = job.sink->reserve(2 * used + 2);
  if (!out) return false;
  std::size_t size = stuff_zero_bytes(job.buffer, used, out);
  if (end) {
    out[size++] = 0xFF;
    out[size++] = 0xD9;
  }
  job.sink->commit(size);
  return true;
}

template <class Kernel>
TONVIK_SCAN_TARGET bool encode_scan(const scan_job& job) {
  bit_writer writer;
  writer.out = job.buffer;
  int dc[3] = {0, 0, 0};
  const int unit = job.subsample ? 16 : 8;
  const std::size_t stride = static_cast<std::size_t>(job.width) * 3;
  for (int y = 0; y < job.height; y += unit) {
    // One unit's rows from the source; rows past the bottom repeat the last
    // row (columns past the right edge repeat the last column, per group).
    const int count = job.height - y < unit ? job.height - y : unit;
    const unsigned char* const strip = job.rows->next_rows(y, count);
    if (!strip) return false;
    const unsigned char* rows[16];
    for (int r = 0; r < unit; ++r)
      rows[r] = strip + static_cast<std::size_t>(r < count ? r : count - 1) * stride;
    for (int x = 0; x < job.width; x += unit) {
      if (job.subsample) {
        encode_subsampled_unit<Kernel>(job, writer, x, rows, dc);
      } else {
        alignas(32) float planes[3][64];
        Kernel::convert(rows, x, job.width, planes[0], planes[1], planes[2]);
        prepared_block block;
        Kernel::transform(planes[0], job.luma_reciprocals, block);
        dc[0] = code_block(writer, block, dc[0], luma_dc_codes, luma_ac_codes);
        Kernel::transform(planes[1], job.chroma_reciprocals, block);
        dc[1] = code_block(writer, block, dc[1], chroma_dc_codes, chroma_ac_codes);
        Kernel::transform(planes[2], job.chroma_reciprocals, block);
        dc[2] = code_block(writer, block, dc[2], chroma_dc_codes, chroma_ac_codes);
      }
      if (!drain(job, writer, false)) return false;
    }
  }
  writer.finish();
  return drain(job, writer, true);
}

// The pixels of one 8-wide group of a row, the last column repeated past the
// right edge: the row itself when the group lies inside it, else `copy`,
// filled.
TONVIK_SCAN_TARGET inline const unsigned char* group_pixels(const unsigned char* row, int x, int width,
                                                            unsigned char (&copy)[24]) {
  if (x + 8 <= width) return row + 3 * static_cast<std::size_t>(x);
  for (int c = 0; c < 8; ++c) {
    const int column = x + c < width ? x + c : width - 1;
    std::memcpy(copy + 3 * c, row + 3 * static_cast<std::size_t>(column), 3);
  }
  return copy;
}

}  // namespace

}  // namespace tonvik::codec::jpeg
