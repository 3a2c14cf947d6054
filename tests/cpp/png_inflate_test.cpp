#include "decode/png_inflate.hpp"

#include "decode/inflate_stream.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <libdeflate.h>

#include "decode/strip_readers.hpp"
#include "image_codec.hpp"
#include "image_reader.hpp"
#include "test_inputs.hpp"

namespace {

using bytes = std::vector<unsigned char>;
using tonvik::codec::decode_status;
using tonvik::codec::inflate_png_exact;
using tonvik::codec::png_raw_size;
using tonvik::codec::detail::inflate_stream;

// Deflate's bit order: fields least significant bit first, Huffman codes
// most significant bit first.
class bit_writer {
 public:
  void field(unsigned value, int count) {
    for (int i = 0; i < count; ++i) bit((value >> i) & 1u);
  }
  void code(unsigned value, int length) {
    for (int i = length - 1; i >= 0; --i) bit((value >> i) & 1u);
  }
  bytes finish() {
    if (used_ != 0) out_.push_back(static_cast<unsigned char>(pending_));
    pending_ = used_ = 0;
    return out_;
  }

 private:
  void bit(unsigned b) {
    pending_ |= b << used_;
    if (++used_ == 8) {
      out_.push_back(static_cast<unsigned char>(pending_));
      pending_ = used_ = 0;
    }
  }
  bytes out_;
  unsigned pending_ = 0;
  int used_ = 0;
};

// A literal/length symbol in the fixed code of block type 1.
void fixed_symbol(bit_writer& w, unsigned symbol) {
  if (symbol < 144) return w.code(0x30 + symbol, 8);
  if (symbol < 256) return w.code(0x190 + symbol - 144, 9);
  if (symbol < 280) return w.code(symbol - 256, 7);
  w.code(0xc0 + symbol - 280, 8);
}

bytes with_zlib_wrapper(const bytes& deflate, const bytes& raw) {
  bytes out(2 + deflate.size() + 4);
  out[0] = 0x78;  // deflate, 32 KiB window
  out[1] = 0x9c;  // default level, check bits
  std::copy(deflate.begin(), deflate.end(), out.begin() + 2);
  const std::uint32_t adler = libdeflate_adler32(1, raw.data(), raw.size());
  for (int i = 0; i < 4; ++i) out[2 + deflate.size() + i] = static_cast<unsigned char>(adler >> (24 - 8 * i));
  return out;
}

// `raw` as a zlib stream, by libdeflate's compressor at `level` (0: stored).
bytes zlib_of(const bytes& raw, int level) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  bytes out(libdeflate_zlib_compress_bound(c, raw.size()));
  out.resize(libdeflate_zlib_compress(c, raw.data(), raw.size(), out.data(), out.size()));
  libdeflate_free_compressor(c);
  return out;
}

// One fixed-code block: every byte of `raw` but the last 258 as literals,
// then reserved length symbol 286 at distance 1. libdeflate reads 286 as
// length 258, stb as length 0, so only libdeflate gets `raw` back; the last
// 259 bytes of `raw` must be equal.
bytes deflate_with_symbol_286(const bytes& raw) {
  bit_writer w;
  w.field(1, 1);  // final block
  w.field(1, 2);  // fixed codes
  for (std::size_t i = 0; i + 258 < raw.size(); ++i) fixed_symbol(w, raw[i]);
  fixed_symbol(w, 286);
  w.code(0, 5);  // distance symbol 0: distance 1
  fixed_symbol(w, 256);
  return w.finish();
}

void put32(bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

void chunk(bytes& png, const char* type, const bytes& body) {
  put32(png, static_cast<std::uint32_t>(body.size()));
  const std::size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), body.begin(), body.end());
  put32(png, libdeflate_crc32(0, png.data() + start, png.size() - start));
}

struct png_header {
  std::uint32_t width;
  std::uint32_t height;
  int depth;
  int colour_type;  // 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGBA
  bool interlaced;
  bool apple = false;  // a CgBI chunk first: the stream is raw deflate
};

// A PNG around `stream`, split over IDAT chunks of at most `idat_size` bytes,
// with a tEXt chunk after each when `text_between`.
bytes png_file(const png_header& h, const bytes& stream, std::size_t idat_size = 1 << 20, bool text_between = false) {
  bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (h.apple) chunk(png, "CgBI", {0x50, 0x00, 0x20, 0x06});
  bytes ihdr;
  put32(ihdr, h.width);
  put32(ihdr, h.height);
  ihdr.insert(ihdr.end(), {static_cast<unsigned char>(h.depth), static_cast<unsigned char>(h.colour_type), 0, 0,
                           static_cast<unsigned char>(h.interlaced ? 1 : 0)});
  chunk(png, "IHDR", ihdr);
  if (h.colour_type == 3) {
    bytes palette;
    for (int i = 0; i < 256; ++i) palette.insert(palette.end(), {static_cast<unsigned char>(i), 7, 200});
    chunk(png, "PLTE", palette);
  }
  for (std::size_t at = 0; at < stream.size(); at += idat_size) {
    chunk(png, "IDAT", bytes(stream.begin() + at, stream.begin() + std::min(stream.size(), at + idat_size)));
    if (text_between) chunk(png, "tEXt", {'k', 0, 'v'});
  }
  chunk(png, "IEND", {});
  return png;
}

int channels_of(int colour_type) {
  switch (colour_type) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;
  }
}

// Filtered scanlines for `h`: noise, with every filter type in turn, so the
// unfilter (Paeth included) runs on all of them, or with `only_filter` alone.
bytes raw_scanlines(const png_header& h, std::uint32_t seed, int only_filter = -1) {
  const std::uint64_t size = png_raw_size(h.width, h.height, channels_of(h.colour_type), h.depth, h.interlaced);
  bytes raw(size);
  std::mt19937 noise(seed);
  for (auto& b : raw) b = static_cast<unsigned char>(noise());
  // Filter bytes sit at the start of every row of every pass; rewrite them.
  static constexpr std::uint32_t x0[7] = {0, 4, 0, 2, 0, 1, 0}, y0[7] = {0, 0, 4, 0, 2, 0, 1};
  static constexpr std::uint32_t dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
  std::size_t at = 0;
  int filter = 0;
  for (int p = 0; p < (h.interlaced ? 7 : 1); ++p) {
    const std::uint32_t cols = h.interlaced ? (h.width > x0[p] ? (h.width - x0[p] + dx[p] - 1) / dx[p] : 0) : h.width;
    const std::uint32_t rows = h.interlaced ? (h.height > y0[p] ? (h.height - y0[p] + dy[p] - 1) / dy[p] : 0) : h.height;
    if (cols == 0 || rows == 0) continue;
    const std::size_t row_bytes = (std::size_t{cols} * channels_of(h.colour_type) * h.depth + 7) / 8;
    for (std::uint32_t r = 0; r < rows; ++r, at += row_bytes + 1) raw[at] = static_cast<unsigned char>(only_filter < 0 ? filter++ % 5 : only_filter);
  }
  EXPECT_EQ(at, raw.size());
  return raw;
}

struct outcome {
  decode_status status = decode_status::undecodable;
  int width = 0;
  int height = 0;
  bytes pixels;
};

outcome decode(const bytes& file, bool stb_only) {
  std::optional<tonvik::codec::stb_inflate_only> forced;
  if (stb_only) forced.emplace();
  tonvik::codec::decoded d = tonvik::codec::decode_memory(file.data(), file.size());
  outcome o;
  o.status = d.status;
  if (d.status == decode_status::decoded) {
    o.width = d.image.width;
    o.height = d.image.height;
    o.pixels.assign(d.image.pixels.get(), d.image.pixels.get() + d.image.pixel_count() * 3);
  }
  return o;
}

// Same status, size and pixels with libdeflate and with stb's inflate alone.
void expect_same_outcome(const bytes& file, const std::string& what) {
  const outcome fast = decode(file, false);
  const outcome stb = decode(file, true);
  EXPECT_EQ(fast.status, stb.status) << what;
  EXPECT_EQ(fast.width, stb.width) << what;
  EXPECT_EQ(fast.height, stb.height) << what;
  EXPECT_TRUE(fast.pixels == stb.pixels) << what;
}

// -- raw size ------------------------------------------------------------------

TEST(PngRawSize, RowsOfPackedSamplesEachWithAFilterByte) {
  EXPECT_EQ(png_raw_size(4000, 3000, 3, 8, false), (4000u * 3 + 1) * 3000u);
  EXPECT_EQ(png_raw_size(5, 2, 1, 1, false), (1u + 1) * 2);  // 5 bits round up to a byte
  EXPECT_EQ(png_raw_size(3, 1, 4, 16, false), 3u * 8 + 1);
  EXPECT_EQ(png_raw_size(0, 7, 3, 8, false), 0u);
}

// Pass by pass, from the Adam7 pattern itself rather than its formula.
TEST(PngRawSize, InterlacedSumsTheNonEmptyPasses) {
  static const int pass_of[8][8] = {{1, 6, 4, 6, 2, 6, 4, 6}, {7, 7, 7, 7, 7, 7, 7, 7}, {5, 6, 5, 6, 5, 6, 5, 6},
                                    {7, 7, 7, 7, 7, 7, 7, 7}, {3, 6, 4, 6, 3, 6, 4, 6}, {7, 7, 7, 7, 7, 7, 7, 7},
                                    {5, 6, 5, 6, 5, 6, 5, 6}, {7, 7, 7, 7, 7, 7, 7, 7}};
  for (std::uint32_t w = 1; w <= 19; ++w)
    for (std::uint32_t h = 1; h <= 19; ++h)
      for (int depth : {1, 2, 4, 8, 16})
        for (int channels : {1, 2, 3, 4}) {
          std::uint64_t expected = 0;
          for (int p = 1; p <= 7; ++p) {
            // Every row the pass touches holds the same number of its pixels.
            std::uint64_t rows = 0, pixels_in_row = 0;
            for (std::uint32_t y = 0; y < h; ++y) {
              std::uint64_t here = 0;
              for (std::uint32_t x = 0; x < w; ++x) here += pass_of[y % 8][x % 8] == p;
              if (here != 0) {
                ++rows;
                pixels_in_row = here;
              }
            }
            if (rows != 0) expected += ((pixels_in_row * channels * depth + 7) / 8 + 1) * rows;
          }
          ASSERT_EQ(png_raw_size(w, h, channels, depth, true), expected)
              << w << "x" << h << " depth " << depth << " channels " << channels;
        }
}

TEST(PngRawSize, ZeroAtTwoGigabytesAndAbove) {
  EXPECT_EQ(png_raw_size(1u << 24, 1u << 24, 4, 16, false), 0u);
  EXPECT_EQ(png_raw_size(1u << 24, 1u << 24, 4, 16, true), 0u);
  EXPECT_EQ(png_raw_size(46341, 46341, 1, 8, false), 0u);  // 46342 x 46341 >= 2^31
  EXPECT_EQ(png_raw_size(46340, 46340, 1, 8, false), 46341u * 46340u);
}

// -- the inflate alone ---------------------------------------------------------

bytes noise(std::size_t size, std::uint32_t seed) {
  bytes out(size);
  std::mt19937 engine(seed);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(engine() % 7 * (i % 3));
  return out;
}

struct streamed {
  inflate_stream::result last;
  bytes out;
  std::size_t consumed = 0;
};

// `deflate` through one inflate_stream, at most `chunk` bytes in and
// `window` bytes out per call, until it ends, fails or stops moving.
streamed inflate_in_chunks(const bytes& deflate, std::size_t chunk, std::size_t window) {
  inflate_stream stream;
  streamed s;
  bytes buffer(window);
  for (;;) {
    std::size_t used = 0, made = 0;
    s.last = stream.inflate(deflate.data() + s.consumed, std::min(chunk, deflate.size() - s.consumed), buffer.data(),
                            window, used, made);
    s.consumed += used;
    s.out.insert(s.out.end(), buffer.begin(), buffer.begin() + made);
    if (s.last != inflate_stream::result::progress || (used == 0 && made == 0)) return s;
  }
}

TEST(InflatePngExact, EveryCompressionLevelStoredBlocksIncluded) {
  const bytes raw = noise(200000, 1);
  for (int level = 0; level <= 12; ++level) {
    const bytes stream = zlib_of(raw, level);
    // The streaming inflate gets the same bytes however its input and output
    // are cut, and stops at the final block with the checksum still offered.
    const bytes deflate(stream.begin() + 2, stream.end());
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, deflate.size()})
      for (std::size_t window : {std::size_t{5}, std::size_t{4099}, raw.size()}) {
        const streamed s = inflate_in_chunks(deflate, chunk, window);
        EXPECT_EQ(s.last, inflate_stream::result::ended) << level << " " << chunk << " " << window;
        EXPECT_EQ(s.consumed, deflate.size() - 4) << level << " " << chunk << " " << window;
        EXPECT_TRUE(s.out == raw) << level << " " << chunk << " " << window;
      }
    // Cut short anywhere, it never ends.
    for (std::size_t keep : {std::size_t{0}, deflate.size() / 2, deflate.size() - 5})
      EXPECT_EQ(inflate_in_chunks(bytes(deflate.begin(), deflate.begin() + keep), 4096, 4099).last,
                inflate_stream::result::progress) << level << " cut at " << keep;
    bytes out(raw.size());
    ASSERT_TRUE(inflate_png_exact(stream.data(), stream.size(), true, out.data(), out.size())) << level;
    EXPECT_TRUE(out == raw) << level;
    // Without the header, as in Apple's CgBI files.
    ASSERT_TRUE(inflate_png_exact(stream.data() + 2, stream.size() - 2, false, out.data(), out.size())) << level;
    EXPECT_TRUE(out == raw) << level;
  }
}

TEST(InflatePngExact, TheChecksumAndWhatFollowsAreNotRead) {
  const bytes raw = noise(5000, 2);
  bytes stream = zlib_of(raw, 6);
  stream.back() ^= 0x5a;  // wrong Adler-32
  stream.insert(stream.end(), {1, 2, 3, 4, 5, 6, 7, 8});
  bytes out(raw.size());
  ASSERT_TRUE(inflate_png_exact(stream.data(), stream.size(), true, out.data(), out.size()));
  EXPECT_TRUE(out == raw);
  // Half of the checksum is enough; with less, stb's reading of the end
  // decides.
  stream.resize(stream.size() - 10);
  ASSERT_TRUE(inflate_png_exact(stream.data(), stream.size(), true, out.data(), out.size()));
  EXPECT_TRUE(out == raw);
  stream.pop_back();
  EXPECT_FALSE(inflate_png_exact(stream.data(), stream.size(), true, out.data(), out.size()));
}

TEST(InflatePngExact, RefusesAnyOtherSize) {
  const bytes raw = noise(5000, 3);
  const bytes stream = zlib_of(raw, 6);
  bytes out(raw.size() + 1);
  EXPECT_FALSE(inflate_png_exact(stream.data(), stream.size(), true, out.data(), raw.size() + 1));
  EXPECT_FALSE(inflate_png_exact(stream.data(), stream.size(), true, out.data(), raw.size() - 1));
  EXPECT_FALSE(inflate_png_exact(stream.data(), stream.size(), true, out.data(), 0));
}

TEST(InflatePngExact, RefusesEveryHeaderStbRefuses) {
  const bytes raw = noise(100, 4);
  const bytes good = zlib_of(raw, 6);
  bytes out(raw.size());
  const auto with_header = [&](unsigned char cmf, unsigned char flg) {
    bytes s = good;
    s[0] = cmf;
    s[1] = flg;
    return inflate_png_exact(s.data(), s.size(), true, out.data(), out.size());
  };
  EXPECT_TRUE(with_header(0x78, 0x9c));
  EXPECT_TRUE(with_header(0x08, 0x1d));   // the smallest window: stb does not look at it
  EXPECT_FALSE(with_header(0x78, 0x9d));  // check bits
  EXPECT_FALSE(with_header(0x78, 0xbb));  // preset dictionary (0x78bb is a multiple of 31)
  EXPECT_FALSE(with_header(0x77, 0x85));  // method 7 (0x7785 is a multiple of 31)
  EXPECT_FALSE(inflate_png_exact(good.data(), 2, true, out.data(), out.size()));
  EXPECT_FALSE(inflate_png_exact(good.data(), 0, true, out.data(), out.size()));
}

TEST(InflatePngExact, RefusesBadData) {
  bit_writer w;
  w.field(1, 1);
  w.field(3, 2);  // block type 3 does not exist
  const bytes stream = with_zlib_wrapper(w.finish(), {});
  bytes out(16);
  EXPECT_FALSE(inflate_png_exact(stream.data(), stream.size(), true, out.data(), out.size()));
  // The streaming inflate refuses it, and length symbol 286 as stb does.
  EXPECT_EQ(inflate_in_chunks(bytes(stream.begin() + 2, stream.end()), 7, 16).last, inflate_stream::result::bad);
  EXPECT_EQ(inflate_in_chunks(deflate_with_symbol_286(bytes(300, 9)), 7, 16).last, inflate_stream::result::bad);
}

// -- through the loader --------------------------------------------------------

TEST(PngFastInflate, SamePixelsForEveryLayoutDepthAndLevel) {
  const struct {
    int colour_type;
    std::vector<int> depths;
  } layouts[] = {{0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
  std::uint32_t seed = 10;
  for (const auto& layout : layouts)
    for (int depth : layout.depths)
      for (bool interlaced : {false, true})
        for (const auto& size : {std::pair<std::uint32_t, std::uint32_t>{1, 1}, {3, 9}, {13, 5}, {64, 33}}) {
          const png_header h{size.first, size.second, depth, layout.colour_type, interlaced};
          const bytes raw = raw_scanlines(h, ++seed);
          for (int level : {0, 1, 6, 12}) {
            const std::string what = "colour type " + std::to_string(h.colour_type) + " depth " +
                                     std::to_string(depth) + (interlaced ? " interlaced " : " ") +
                                     std::to_string(h.width) + "x" + std::to_string(h.height) + " level " +
                                     std::to_string(level);
            const bytes file = png_file(h, zlib_of(raw, level), 97);
            expect_same_outcome(file, what);
            EXPECT_EQ(decode(file, false).status, decode_status::decoded) << what;
          }
        }
}

TEST(PngFastInflate, SameOutcomeOnDamagedStreams) {
  const png_header h{40, 30, 8, 2, false};
  const bytes raw = raw_scanlines(h, 99);
  const bytes stream = zlib_of(raw, 6);

  bytes bad_checksum = stream;
  bad_checksum.back() ^= 1;
  expect_same_outcome(png_file(h, bad_checksum), "bad checksum");
  EXPECT_EQ(decode(png_file(h, bad_checksum), false).status, decode_status::decoded);

  bytes trailing = stream;
  trailing.insert(trailing.end(), 100, 0xab);
  expect_same_outcome(png_file(h, trailing), "bytes after the stream");

  bytes extra_raw = raw;
  extra_raw.insert(extra_raw.end(), 500, 0);  // more data than the image holds: stb accepts it
  expect_same_outcome(png_file(h, zlib_of(extra_raw, 6)), "extra output");
  EXPECT_EQ(decode(png_file(h, zlib_of(extra_raw, 6)), false).status, decode_status::decoded);

  const bytes short_raw(raw.begin(), raw.end() - 1);
  expect_same_outcome(png_file(h, zlib_of(short_raw, 6)), "one byte short");

  for (std::size_t keep : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, stream.size() / 2,
                           stream.size() - 5, stream.size() - 4, stream.size() - 3, stream.size() - 1}) {
    expect_same_outcome(png_file(h, bytes(stream.begin(), stream.begin() + keep)), "cut at " + std::to_string(keep));
  }

  std::mt19937 engine(2026);
  for (int flip = 0; flip < 300; ++flip) {
    bytes damaged = flip % 2 ? stream : zlib_of(raw, flip % 3 == 0 ? 0 : 9);
    const std::size_t at = 2 + engine() % (damaged.size() - 6);
    damaged[at] ^= static_cast<unsigned char>(1u << (engine() % 8));
    expect_same_outcome(png_file(h, damaged), "bit flip at byte " + std::to_string(at));
  }
}

// The known difference, and the proof that the loader really takes the fast
// path, for plain, interlaced and headerless streams: stb refuses a stream
// with length symbol 286 (it comes out 258 bytes short), libdeflate reads it.
TEST(PngFastInflate, ReadsTheReservedLengthSymbolThatStbRefuses) {
  for (bool interlaced : {false, true})
    for (bool apple : {false, true}) {
      const png_header h{31, 20, 8, 0, interlaced, apple};
      bytes raw(png_raw_size(h.width, h.height, 1, 8, interlaced), 0);
      for (int i = 1; i <= 4; ++i) raw[i] = static_cast<unsigned char>(50 * i);  // first row of the first pass
      bytes stream = with_zlib_wrapper(deflate_with_symbol_286(raw), raw);
      if (apple) stream.erase(stream.begin(), stream.begin() + 2);  // no header, still the checksum
      const bytes file = png_file(h, stream);
      const std::string what = std::string(interlaced ? "interlaced" : "plain") + (apple ? ", CgBI" : "");

      EXPECT_EQ(decode(file, true).status, decode_status::undecodable) << what;
      const outcome fast = decode(file, false);
      ASSERT_EQ(fast.status, decode_status::decoded) << what;
      ASSERT_EQ(fast.pixels.size(), 31u * 20 * 3);
      // Grey replicated to RGB; the first pass starts every 8th column of row 0.
      for (int i = 0; i < 4; ++i) EXPECT_EQ(fast.pixels[3 * (interlaced ? 8 * i : i) + 1], 50 * (i + 1)) << what;
    }
}

// -- the strip reader ----------------------------------------------------------

namespace codec = tonvik::codec;

// Every row of `reader` in strips of `strip` rows, then finish(). Null when a
// call fails.
std::optional<bytes> read_strips(codec::image_reader& reader, int strip) {
  bytes pixels;
  const std::size_t row = std::size_t(reader.width()) * 3;
  for (int y = 0; y < reader.height(); y += strip) {
    const int count = std::min(strip, reader.height() - y);
    const unsigned char* rows = reader.next_rows(y, count);
    if (rows == nullptr) return std::nullopt;
    pixels.insert(pixels.end(), rows, rows + row * count);
  }
  if (!reader.finish()) return std::nullopt;
  return pixels;
}

// strips() from a file, and the lean reader from memory, in strips of 8 and
// 16 rows: a success is the whole decode's success with its pixels, a
// failure other than unsure is its failure. True when the lean reader
// decoded the file from memory.
bool expect_strips_agree(const bytes& file, const std::string& what) {
  const outcome whole = decode(file, false);
  const auto path = std::filesystem::temp_directory_path() / ("png_strips_" + std::to_string(::getpid()) + ".png");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  const codec::image_file opened = codec::open_image_file(path.string());
  std::filesystem::remove(path);
  codec::image_header header;
  header.format = codec::image_format::png;
  header.width = opened.width();
  header.height = opened.height();
  bool streamed = false;
  for (int strip : {8, 16})
    for (bool memory : {false, true}) {
      if (opened.status() != decode_status::decoded) {
        EXPECT_EQ(opened.status(), whole.status) << what;
        return false;
      }
      std::unique_ptr<codec::image_reader> reader =
          memory ? codec::detail::png_strips(codec::image_bytes{-1, file.data(), file.size()}, header)
                 : opened.strips();
      if (!reader) continue;
      const std::optional<bytes> pixels = read_strips(*reader, strip);
      const std::string where = what + (memory ? ", from memory" : ", from a file") + ", strips of " +
                                std::to_string(strip);
      if (pixels) {
        EXPECT_EQ(whole.status, decode_status::decoded) << where;
        EXPECT_TRUE(*pixels == whole.pixels) << where;
        streamed |= memory;
      } else if (reader->failure() == codec::reader_failure::too_large) {
        EXPECT_EQ(whole.status, decode_status::too_large) << where;
      } else if (reader->failure() != codec::reader_failure::unsure) {
        EXPECT_EQ(whole.status, decode_status::undecodable) << where;
      }
    }
  return streamed;
}

// Every layout the reader streams, every filter alone and mixed, odd sizes and
// a large noisy image, IDAT chunks of 1 byte up, with chunks between them.
TEST(PngStrips, SamePixelsAsTheWholeDecode) {
  const struct {
    int colour_type;
    std::vector<int> depths;
  } layouts[] = {{0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
  std::uint32_t seed = 500;
  for (const auto& layout : layouts)
    for (int depth : layout.depths)
      for (const auto& size : {std::pair<std::uint32_t, std::uint32_t>{1, 1}, {3, 9}, {13, 17}, {67, 33}})
        for (int filter = -1; filter <= 4; ++filter) {
          const png_header h{size.first, size.second, depth, layout.colour_type, false};
          const bytes stream = zlib_of(raw_scanlines(h, ++seed, filter), filter == 0 ? 0 : 6);
          for (std::size_t idat : {std::size_t{1}, std::size_t{97}, std::size_t{1} << 20}) {
            const std::string what = "colour type " + std::to_string(h.colour_type) + " depth " +
                                     std::to_string(depth) + " " + std::to_string(h.width) + "x" +
                                     std::to_string(h.height) + " filter " + std::to_string(filter) + " IDAT " +
                                     std::to_string(idat);
            EXPECT_TRUE(expect_strips_agree(png_file(h, stream, idat, idat == 97), what)) << what;
          }
        }
  const png_header large{1500, 1000, 8, 2, false};
  EXPECT_TRUE(expect_strips_agree(png_file(large, zlib_of(raw_scanlines(large, 7), 1), 8192), "1500x1000"));
  // Interlaced and the other low depths go to the whole decode.
  const png_header interlaced{13, 17, 8, 2, true}, rgb4{13, 17, 4, 2, false};
  EXPECT_FALSE(expect_strips_agree(png_file(interlaced, zlib_of(raw_scanlines(interlaced, 8), 6)), "interlaced"));
  EXPECT_FALSE(expect_strips_agree(png_file(rgb4, zlib_of(raw_scanlines(rgb4, 9), 6)), "RGB at depth 4"));
}

// Files the whole decode may read otherwise, or refuse: the lean reader
// never claims a success or pixels of its own. Then the corpus.
TEST(PngStrips, NeverDiffersFromTheWholeDecode) {
  const png_header h{40, 30, 8, 3, false};
  const bytes raw = raw_scanlines(h, 77);
  const bytes stream = zlib_of(raw, 6);
  const bytes good = png_file(h, stream, 300);
  // `file` with a chunk inserted before its IEND (the last 12 bytes).
  const auto with_chunk_before_iend = [](bytes file, const char* type, const bytes& body) {
    bytes inserted;
    chunk(inserted, type, body);
    file.insert(file.end() - 12, inserted.begin(), inserted.end());
    return file;
  };
  bytes raw_extra = raw, bad_filter = raw, stream_cut = stream, bad_header = stream;
  raw_extra.push_back(0);
  bad_filter[(h.width + 1) * 7] = 5;     // row 7's filter-type byte
  stream_cut.resize(stream.size() - 3);  // one byte after the final block
  bad_header[1] ^= 1;                    // check bits
  const std::pair<std::string, bytes> cases[] = {
      {"plain", good},
      {"PLTE after IDAT", with_chunk_before_iend(good, "PLTE", bytes(30, 9))},
      {"tRNS after IDAT", with_chunk_before_iend(good, "tRNS", {1, 2})},
      {"unknown critical chunk", with_chunk_before_iend(good, "ABCD", {})},
      {"ancillary chunk", with_chunk_before_iend(good, "abCD", {1})},
      {"second IHDR", with_chunk_before_iend(good, "IHDR", bytes(13, 0))},
      {"no IEND", bytes(good.begin(), good.end() - 12)},
      {"IEND cut", bytes(good.begin(), good.end() - 6)},
      {"one byte after the final block", png_file(h, stream_cut)},
      {"two bytes after the final block, one in a later IDAT",
       with_chunk_before_iend(with_chunk_before_iend(png_file(h, stream_cut), "tIME", {}), "IDAT", {1})},
      {"a byte of data more", png_file(h, zlib_of(raw_extra, 6))},
      {"a byte of data less", png_file(h, zlib_of(bytes(raw.begin(), raw.end() - 1), 6))},
      {"filter type 5", png_file(h, zlib_of(bad_filter, 6))},
      {"zlib header", png_file(h, bad_header)},
  };
  for (const auto& [what, file] : cases) {
    const bool streamed = expect_strips_agree(file, what);
    if (what == "plain" || what == "ancillary chunk" || what.rfind("two bytes", 0) == 0) {
      EXPECT_TRUE(streamed) << what;
    }
  }

  const std::filesystem::path dir = tonvik_test::corpus_dir("images");
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no image corpus at " << dir;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".png") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    expect_strips_agree(file, entry.path().filename().string());
  }
}

}  // namespace
