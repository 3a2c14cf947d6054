#include "decode/ycbcr_to_rgb.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cpu_isa.hpp"
#include "image_codec.hpp"
#include "stb_reference.hpp"
#include "test_inputs.hpp"
#include "unpatched_stb_image.hpp"

namespace {

// stb's scalar conversion, as it stands in the loader.
void scalar_rgb(unsigned char* out, unsigned char y, unsigned char cb, unsigned char cr) {
  const auto fixed = [](float x) { return static_cast<int>(x * 4096.0f + 0.5f) << 8; };
  const int y_fixed = (y << 20) + (1 << 19);
  const int red = cr - 128;
  const int blue = cb - 128;
  int r = y_fixed + red * fixed(1.40200f);
  int g = y_fixed + red * -fixed(0.71414f) + ((blue * -fixed(0.34414f)) & static_cast<int>(0xffff0000u));
  int b = y_fixed + blue * fixed(1.77200f);
  r >>= 20;
  g >>= 20;
  b >>= 20;
  out[0] = static_cast<unsigned char>(r < 0 ? 0 : r > 255 ? 255 : r);
  out[1] = static_cast<unsigned char>(g < 0 ? 0 : g > 255 ? 255 : g);
  out[2] = static_cast<unsigned char>(b < 0 ? 0 : b > 255 ? 255 : b);
}

// Every (y, cb, cr): one row of the 256 luma values per chroma pair, with a
// guard after the row that must stay untouched.
TEST(YcbcrToRgb, EveryInputGivesStbsBytes) {
  constexpr int count = 256;
  std::vector<unsigned char> luma(count), cb(count), cr(count);
  for (int i = 0; i < count; ++i) luma[i] = static_cast<unsigned char>(i);
  std::vector<unsigned char> row(3 * count + 32), expected(3 * count);
  long mismatches = 0;
  for (int blue = 0; blue < 256; ++blue)
    for (int red = 0; red < 256; ++red) {
      std::fill(cb.begin(), cb.end(), static_cast<unsigned char>(blue));
      std::fill(cr.begin(), cr.end(), static_cast<unsigned char>(red));
      std::fill(row.begin(), row.end(), 0xa5);
      const int done = tonvik_ycbcr_to_rgb3(row.data(), luma.data(), cb.data(), cr.data(), count);
      if (tonvik::cpu::runs(tonvik::cpu::isa::avx2)) {
        ASSERT_EQ(done, 248);
      }
      for (int i = 0; i < done; ++i) scalar_rgb(expected.data() + 3 * i, luma[i], cb[i], cr[i]);
      mismatches += !std::equal(row.begin(), row.begin() + 3 * done, expected.begin());
      mismatches += row[3 * count] != 0xa5;
    }
  EXPECT_EQ(mismatches, 0);
}

// Mixed chroma within a group, and every short row: whole groups only, never
// a byte past the row, the rest left to stb's loop.
TEST(YcbcrToRgb, ShortRowsAndMixedPixels) {
  std::vector<unsigned char> luma(64), cb(64), cr(64);
  for (int i = 0; i < 64; ++i) {
    luma[i] = static_cast<unsigned char>(i * 37);
    cb[i] = static_cast<unsigned char>(255 - i * 11);
    cr[i] = static_cast<unsigned char>(i * 53 + 7);
  }
  for (int count = 0; count <= 64; ++count) {
    std::vector<unsigned char> row(3 * count + 16, 0xa5);
    const int done = tonvik_ycbcr_to_rgb3(row.data(), luma.data(), cb.data(), cr.data(), count);
    EXPECT_EQ(done % 8, 0);
    EXPECT_LE(done + 2, std::max(count, 2)) << count;
    for (int i = 0; i < done; ++i) {
      unsigned char want[3];
      scalar_rgb(want, luma[i], cb[i], cr[i]);
      EXPECT_TRUE(std::equal(want, want + 3, row.begin() + 3 * i)) << count << " pixel " << i;
    }
    for (std::size_t k = 3 * std::size_t(count); k < row.size(); ++k) EXPECT_EQ(row[k], 0xa5) << count;
  }
}

// Whole decodes against stb's unpatched loader: valid JPEGs, both chroma
// layouts, widths around the group size, a photograph-like image with noise.
void expect_unpatched_pixels(const std::vector<unsigned char>& file, const std::string& what) {
  const tonvik::codec::decoded ours = tonvik::codec::decode_memory(file.data(), file.size());
  int width = 0, height = 0;
  unsigned char* theirs = unpatched_stb::load_rgb(file.data(), int(file.size()), &width, &height);
  ASSERT_NE(theirs, nullptr) << what;
  ASSERT_EQ(ours.status, tonvik::codec::decode_status::decoded) << what;
  EXPECT_EQ(ours.image.width, width) << what;
  EXPECT_EQ(ours.image.height, height) << what;
  EXPECT_EQ(std::memcmp(ours.image.pixels.get(), theirs, std::size_t(width) * height * 3), 0) << what;
  unpatched_stb::free_pixels(theirs);
}

TEST(YcbcrToRgb, DecodesAsStbDoes) {
  std::mt19937 noise(5);
  for (int width : {1, 7, 8, 9, 10, 17, 18, 33, 640}) {
    const int height = width == 640 ? 480 : 13;
    std::vector<unsigned char> rgb(std::size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        for (int c = 0; c < 3; ++c)
          rgb[(std::size_t(y) * width + x) * 3 + c] =
              static_cast<unsigned char>((x * (c + 2) + y * (3 - c)) / 3 + int(noise() % 23) - 11);
    for (int quality : {50, 90, 100}) {  // 2x2 subsampled chroma up to 90
      const std::vector<unsigned char> file = tonvik_test::stb_jpeg(rgb.data(), width, height, quality);
      ASSERT_FALSE(file.empty());
      expect_unpatched_pixels(file, std::to_string(width) + " wide, quality " + std::to_string(quality));
    }
  }
}

TEST(YcbcrToRgb, CorpusJpegsDecodeAsStbDoes) {
  const std::filesystem::path corpus = tonvik_test::corpus_dir("images");
  if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "corpus not present";
  int compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    if (entry.path().extension() != ".jpg") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int width = 0, height = 0;
    unsigned char* theirs = unpatched_stb::load_rgb(file.data(), int(file.size()), &width, &height);
    if (theirs == nullptr) continue;  // broken files: the hardening decides those
    unpatched_stb::free_pixels(theirs);
    expect_unpatched_pixels(file, entry.path().filename().string());
    ++compared;
  }
  EXPECT_GT(compared, 0);
}

}  // namespace
