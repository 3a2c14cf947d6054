#include "jpeg_writer.hpp"

#include <cstdint>
#include <memory>
#include <vector>

#include "jpeg_scan.hpp"
#include "jpeg_tables.hpp"
#include "limits.hpp"

namespace tonvik::codec {

namespace {

// Coded bytes go to the sink in chunks of this size (plus at most one unit's
// output, and the stuffed zeros): a thousand calls for a 16 MB file, one for
// a small one.
constexpr std::size_t chunk_bytes = 16 * 1024;

struct quantisation {
  std::uint8_t luma_zigzag[64];  // as the DQT segment lists them
  std::uint8_t chroma_zigzag[64];
  float luma_reciprocals[64];  // natural order, for the quantiser
  float chroma_reciprocals[64];
};

// The quality scaling and the reciprocal tables, each value computed as the
// stb writer computes it: integer scaling with its rounding, then
// 1 / (q * scale[row] * scale[col]) in single precision, left to right.
quantisation quantise_for(int quality) {
  quality = quality < 1 ? 1 : quality > 100 ? 100 : quality;
  quality = quality < 50 ? 5000 / quality : 200 - quality * 2;
  quantisation q;
  std::uint8_t luma[64];
  std::uint8_t chroma[64];
  for (int i = 0; i < 64; ++i) {
    const int y = (jpeg::luma_quant_base[i] * quality + 50) / 100;
    const int c = (jpeg::chroma_quant_base[i] * quality + 50) / 100;
    luma[i] = static_cast<std::uint8_t>(y < 1 ? 1 : y > 255 ? 255 : y);
    chroma[i] = static_cast<std::uint8_t>(c < 1 ? 1 : c > 255 ? 255 : c);
    q.luma_zigzag[jpeg::zigzag_of[i]] = luma[i];
    q.chroma_zigzag[jpeg::zigzag_of[i]] = chroma[i];
  }
  for (int row = 0, k = 0; row < 8; ++row) {
    for (int col = 0; col < 8; ++col, ++k) {
      q.luma_reciprocals[k] = 1 / (luma[k] * jpeg::dct_scale[row] * jpeg::dct_scale[col]);
      q.chroma_reciprocals[k] = 1 / (chroma[k] * jpeg::dct_scale[row] * jpeg::dct_scale[col]);
    }
  }
  return q;
}

void append(std::vector<unsigned char>& out, std::initializer_list<unsigned char> bytes) {
  out.insert(out.end(), bytes);
}

void append_table(std::vector<unsigned char>& out, unsigned char id, const jpeg::dht_table& table) {
  out.push_back(id);
  out.insert(out.end(), table.counts.begin(), table.counts.end());
  out.insert(out.end(), table.symbols, table.symbols + table.symbol_count);
}

// SOI, JFIF APP0 (version 1.1, aspect 1:1), both quantisation tables in one
// DQT, the frame header (Y, Cb, Cr; Y at 2x2 when subsampling), all four
// Huffman tables in one DHT, and the scan header.
std::vector<unsigned char> headers(int width, int height, bool subsample, const quantisation& q) {
  std::vector<unsigned char> out;
  out.reserve(640);
  append(out, {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
  append(out, {0xFF, 0xDB, 0, 0x84, 0});
  out.insert(out.end(), q.luma_zigzag, q.luma_zigzag + 64);
  out.push_back(1);
  out.insert(out.end(), q.chroma_zigzag, q.chroma_zigzag + 64);
  const auto byte = [](int value) { return static_cast<unsigned char>(value & 0xFF); };
  append(out, {0xFF, 0xC0, 0, 0x11, 8, byte(height >> 8), byte(height), byte(width >> 8), byte(width), 3, 1,
               static_cast<unsigned char>(subsample ? 0x22 : 0x11), 0, 2, 0x11, 1, 3, 0x11, 1});
  append(out, {0xFF, 0xC4, 0x01, 0xA2});
  append_table(out, 0x00, jpeg::luma_dc_dht);
  append_table(out, 0x10, jpeg::luma_ac_dht);
  append_table(out, 0x01, jpeg::chroma_dc_dht);
  append_table(out, 0x11, jpeg::chroma_ac_dht);
  append(out, {0xFF, 0xDA, 0, 0xC, 3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0});
  return out;
}

}  // namespace

bool write_jpeg(byte_sink& sink, row_source& rows, int width, int height, int quality) {
  return write_jpeg_with(cpu::chosen(), sink, rows, width, height, quality);
}

bool write_jpeg(byte_sink& sink, const unsigned char* rgb, int width, int height, int quality) {
  return write_jpeg_with(cpu::chosen(), sink, rgb, width, height, quality);
}

bool write_jpeg_with(cpu::isa level, byte_sink& sink, const unsigned char* rgb, int width, int height,
                     int quality) {
  if (!rgb) return false;
  image_rows rows(rgb, width);
  return write_jpeg_with(level, sink, rows, width, height, quality);
}

bool write_jpeg_with(cpu::isa level, byte_sink& sink, row_source& rows, int width, int height, int quality) {
  if (width < 1 || height < 1) return false;
  if (width > jpeg_format_max_side || height > jpeg_format_max_side) return false;
  if (!cpu::runs(level)) return false;

  quality = quality ? quality : 90;
  const bool subsample = quality <= 90;
  const quantisation q = quantise_for(quality);

  const std::vector<unsigned char> head = headers(width, height, subsample, q);
  if (!sink.put(head.data(), head.size())) return false;

  // The coded bytes; they are stuffed straight into the sink's buffer.
  static_assert(jpeg::drain_bytes(chunk_bytes) <= byte_sink::min_reserve, "every sink lends a drain's bytes");
  const std::unique_ptr<unsigned char[]> buffer(new unsigned char[chunk_bytes + jpeg::scan_slack]);
  const jpeg::scan_job job{&rows,
                           width,
                           height,
                           subsample,
                           q.luma_reciprocals,
                           q.chroma_reciprocals,
                           buffer.get(),
                           chunk_bytes,
                           &sink};
  switch (level) {
#if defined(__x86_64__)
    case cpu::isa::avx2: return jpeg::encode_scan_avx2(job);
    case cpu::isa::sse2: return jpeg::encode_scan_sse2(job);
#endif
    default: return jpeg::encode_scan_portable(job);
  }
}

}  // namespace tonvik::codec
