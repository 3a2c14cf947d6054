// The per-format bounds of input_bounds.hpp at their edges: the densest file
// of each format is accepted at exactly its bound and refused one row later;
// the size limits of what is written, and input that is no image at all.
#include "decode/input_bounds.hpp"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "image_codec.hpp"

namespace {

using tonvik::codec::decode_memory;
using tonvik::codec::decode_status;
using tonvik::codec::file_can_hold;
using tonvik::codec::fits_jpeg;
using tonvik::codec::image_format;
using tonvik::codec::image_header;

image_header header_of(image_format format, std::int64_t width, std::int64_t height, int bits = 8) {
  image_header header;
  header.format = format;
  header.width = width;
  header.height = height;
  header.bits_per_pixel = bits;
  return header;
}

struct edge {
  std::string name;
  image_header header;  // its height is the most rows the file can hold
  std::uint64_t file_size;
};

// Widths and file sizes chosen so that each bound falls on a whole row.
const edge edges[] = {
    // 1032 bytes of filtered rows per byte: 1000 bytes hold 1,032,000 grey samples.
    {"png_grey8", header_of(image_format::png, 1032, 1000, 8), 1000},
    {"png_grey1", header_of(image_format::png, 8256, 1000, 1), 1000},
    {"png_rgba16", header_of(image_format::png, 129, 1000, 64), 1000},
    // 8192 pixels per 3 bytes.
    {"gif", header_of(image_format::gif, 8192, 100, 8), 300},
    {"bmp_1bit", header_of(image_format::bmp, 800, 10, 1), 1000},
    {"bmp_24bit", header_of(image_format::bmp, 100, 10, 24), 3000},
    {"pnm_16bit_rgb", header_of(image_format::pnm, 100, 10, 48), 6000},
    {"tga_raw_24bit", header_of(image_format::tga, 100, 10, 24), 3000},
    {"tga_raw_15bit", header_of(image_format::tga, 100, 10, 15), 2000},
    // Three planes of PackBits, a byte per 64 samples.
    {"psd_three_planes", header_of(image_format::psd, 640, 100, 24), 3000},
    {"psd_alpha_plane", header_of(image_format::psd, 640, 100, 32), 4000},
    {"pic", header_of(image_format::pic, 16384, 10, 0), 10},
    {"hdr", header_of(image_format::hdr, 160, 10, 0), 100},
};

class bound_edge : public testing::TestWithParam<edge> {};

TEST_P(bound_edge, AcceptsTheDensestFileAndRefusesOneRowMore) {
  const edge& e = GetParam();
  EXPECT_TRUE(file_can_hold(e.header, e.file_size));
  image_header taller = e.header;
  ++taller.height;
  EXPECT_FALSE(file_can_hold(taller, e.file_size));
  EXPECT_TRUE(file_can_hold(taller, e.file_size * 2));
}

INSTANTIATE_TEST_SUITE_P(Formats, bound_edge, testing::ValuesIn(edges),
                         [](const testing::TestParamInfo<edge>& info) { return info.param.name; });

TEST(TgaBound, RunLengthPacketsRepeatAPixel128Times) {
  image_header header = header_of(image_format::tga, 128, 100, 24);
  header.run_length = true;  // 128 pixels per packet of 1 + 3 bytes
  EXPECT_TRUE(file_can_hold(header, 400));
  EXPECT_FALSE(file_can_hold(header, 399));
  header.bits_per_pixel = 8;  // 128 pixels per 2 bytes
  EXPECT_TRUE(file_can_hold(header, 200));
  EXPECT_FALSE(file_can_hold(header, 199));
}

TEST(JpegBound, SequentialBlocksTakeTwoBitsProgressiveOne) {
  image_header header = header_of(image_format::jpeg, 8000, 8000);
  header.jpeg_blocks = 4000;
  EXPECT_TRUE(file_can_hold(header, 1000));
  EXPECT_FALSE(file_can_hold(header, 999));
  header.progressive = true;
  EXPECT_TRUE(file_can_hold(header, 500));
  EXPECT_FALSE(file_can_hold(header, 499));
}

TEST(JpegBound, ScansWalkSixteenPassesOrTheBudgetWhicheverIsMore) {
  image_header header = header_of(image_format::jpeg, 2000, 2000);
  header.progressive = true;
  // 144 walks of 62,500 blocks are the budget; 16 walks of a million blocks more.
  for (const std::int64_t blocks : {62500, 1000000}) {
    header.jpeg_blocks = blocks;
    header.jpeg_scanned_blocks = blocks == 62500 ? 144 * blocks : 16 * blocks;
    EXPECT_TRUE(file_can_hold(header, 1 << 20));
    ++header.jpeg_scanned_blocks;
    EXPECT_FALSE(file_can_hold(header, 1 << 20));
  }
}

TEST(Bounds, NoPixelsIsLeftToTheDecoder) {
  EXPECT_TRUE(file_can_hold(header_of(image_format::png, 0, 5000), 0));
  EXPECT_TRUE(file_can_hold(header_of(image_format::gif, 5000, -1), 0));
}

TEST(Bounds, UnknownFormatsAndSidesTheLoaderRefusesAreRefused) {
  EXPECT_FALSE(file_can_hold(header_of(image_format::unknown, 1, 1), 1 << 20));
  EXPECT_FALSE(file_can_hold(header_of(image_format::pic, (1 << 24) + 1, 1), UINT64_MAX));
}

TEST(Bounds, HugeFilesDoNotOverflow) {
  // 2^24 x 2^24 pixels of 64 bits need 2^51 bytes even in PNG: more than
  // the 2^40 a file is counted as, and no product wraps.
  EXPECT_FALSE(file_can_hold(header_of(image_format::png, 1 << 24, 1 << 24, 64), UINT64_MAX));
  EXPECT_TRUE(file_can_hold(header_of(image_format::pnm, 1 << 18, 1 << 18, 8), UINT64_MAX));
}

struct size_case {
  std::int64_t width;
  std::int64_t height;
  bool fits;
};

class JpegSizeTest : public ::testing::TestWithParam<size_case> {};

TEST_P(JpegSizeTest, LimitsAreInclusive) {
  EXPECT_EQ(fits_jpeg(GetParam().width, GetParam().height), GetParam().fits);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, JpegSizeTest,
                         ::testing::Values(size_case{1, 1, true}, size_case{65500, 1, true},
                                           size_case{1, 65500, true}, size_case{65501, 1, false},
                                           size_case{1, 65501, false}, size_case{65535, 1, false},
                                           size_case{65500, 2732, true},    // 178,946,000 pixels
                                           size_case{65500, 2733, false},   // 179,011,500 pixels
                                           size_case{13377, 13377, true},   // 178,944,129 pixels
                                           size_case{13377, 13378, false},  // 178,957,506 pixels
                                           size_case{0, 5, false}, size_case{5, -1, false}));

TEST(DecodeMemoryTest, GarbageAndEmptyInputAreNotFound) {
  const std::string garbage = "definitely not an image";
  EXPECT_EQ(decode_memory(reinterpret_cast<const unsigned char*>(garbage.data()), garbage.size()).status,
            decode_status::undecodable);
  EXPECT_EQ(decode_memory(nullptr, 0).status, decode_status::undecodable);
}

}  // namespace
