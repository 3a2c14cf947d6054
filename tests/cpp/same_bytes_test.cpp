// Whole applies pinned by a fingerprint of their output: the LUT kernel (SIMD
// on x86, the portable path elsewhere), the decoders and the JPEG writer give
// these bytes on every machine. `make test-aarch64` runs this file under
// emulation on another architecture; a changed constant there or here is a
// changed output for users.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apply_pipeline.hpp"
#include "bridge_test_files.hpp"
#include "image_codec.hpp"
#include "memory_sink.hpp"
#include "stb_reference.hpp"

namespace {

using namespace tonvik::bridge;
using namespace tonvik::codec;
using namespace tonvik::bridge::testing;

// FNV-1a, 64 bits: enough to tell two outputs apart, no library needed.
std::uint64_t fingerprint(const tonvik_test::bytes& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (unsigned char byte : bytes) hash = (hash ^ byte) * 0x100000001b3u;
  return hash;
}

// A curved, channel-mixing 17-point table. Its values are integers over a
// million, printed by hand, so the text is the same wherever it is made.
std::string mixing_cube() {
  constexpr int size = 17;
  std::string text = "TITLE \"mixing\"\nLUT_3D_SIZE 17\n";
  auto number = [](long millionths) {
    std::string digits = std::to_string(1000000 + millionths);  // "1dddddd" or "2000000"
    return millionths == 1000000 ? std::string("1.000000") : "0." + digits.substr(1);
  };
  for (long b = 0; b < size; ++b)
    for (long g = 0; g < size; ++g)
      for (long r = 0; r < size; ++r) {
        const long red = (r * r * 3125 + g * 700 + b * 300) % 1000001;
        const long green = (g * 62500 * (size - 1 - b) / (size - 1) + r * b * 900) % 1000001;
        const long blue = (1000000 - b * 62500 + r * g * 450) % 1000001;
        text += number(red) + " " + number(green) + " " + number(blue) + "\n";
      }
  return text;
}

// Gradients under a deterministic noise, so flat areas and edges both occur.
std::vector<std::uint8_t> test_pixels(int width, int height) {
  std::vector<std::uint8_t> rgb;
  std::uint32_t state = 2463534242u;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      rgb.push_back(static_cast<std::uint8_t>(x * 255 / (width - 1)));
      rgb.push_back(static_cast<std::uint8_t>((y * 255 / (height - 1) + (state & 31)) & 255));
      rgb.push_back(static_cast<std::uint8_t>(state >> 24));
    }
  return rgb;
}

std::string png_of(int width, int height, const std::vector<std::uint8_t>& rgb) {
  const tonvik_test::bytes png = tonvik_test::stb_png(rgb.data(), width, height);
  return std::string(png.begin(), png.end());
}

std::string jpeg_of(const std::string& encoded) {
  decoded image = decode_memory(reinterpret_cast<const unsigned char*>(encoded.data()), encoded.size());
  EXPECT_EQ(image.status, decode_status::decoded);
  tonvik_test::memory_sink sink;
  EXPECT_TRUE(encode_output(image.image, sink));
  return std::string(sink.out.begin(), sink.out.end());
}

// Decodes `encoded`, maps it through the mixing table and fingerprints the JPEG.
std::uint64_t applied(const std::string& encoded) {
  scratch_dir dir;
  const std::string lut_path = dir.file("mixing.cube");
  write_file(lut_path, mixing_cube());
  const auto reader = tonvik::codec::read_decoded(
      decode_memory(reinterpret_cast<const unsigned char*>(encoded.data()), encoded.size()));
  EXPECT_EQ(reader->failure(), tonvik::codec::reader_failure::none);
  const vireth::image::lut table = read_lut(lut_path);
  const vireth::image::pixel_mapper mapper(table, std::size_t(reader->width()) * std::size_t(reader->height()));
  graded_rows rows(mapper, *reader);
  tonvik_test::memory_sink sink;
  EXPECT_TRUE(encode_output(rows, reader->width(), reader->height(), sink));
  return fingerprint(sink.out);
}

// 61 wide is written at quality 100 with full chroma, 29 wide at quality 87
// with 2x2 subsampling: the two code paths of the writer.
TEST(SameBytes, PpmInputAtFullChroma) {
  EXPECT_EQ(applied(ppm(61, 37, test_pixels(61, 37))), 0x89238162e6a67fc1u);
}

TEST(SameBytes, PpmInputWithSubsampledChroma) {
  EXPECT_EQ(applied(ppm(29, 23, test_pixels(29, 23))), 0xcba7e7ef9aa931c5u);
}

// The same pixels as the full-chroma PPM, so the same output.
TEST(SameBytes, PngInput) { EXPECT_EQ(applied(png_of(61, 37, test_pixels(61, 37))), 0x89238162e6a67fc1u); }

// Large enough for the LUT kernel, heights that end in a partial strip: 97
// wide at full chroma (8-row strips), 29 wide subsampled (16-row strips).
TEST(SameBytes, KernelMappedImagesEndingInPartialStrips) {
  EXPECT_EQ(applied(ppm(97, 45, test_pixels(97, 45))), 0x7f63fd3c59003e9cu);
  EXPECT_EQ(applied(ppm(29, 150, test_pixels(29, 150))), 0x4cab23dafcd3d9a5u);
}

// A JPEG input goes through the loader's IDCT and colour conversion, which
// have SIMD and plain versions of their own.
TEST(SameBytes, JpegInput) {
  EXPECT_EQ(applied(jpeg_of(ppm(61, 37, test_pixels(61, 37)))), 0xe23163efb6d6fe70u);
}

}  // namespace
