// The fast LUT step against the scalar sampler, on every 24-bit colour.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cpu_isa.hpp"
#include "lut.hpp"
#include "map_kernel.hpp"
#include "sampler.hpp"
#include "test_inputs.hpp"

namespace {

using vireth::image::lut;
namespace kernel = vireth::image::kernel;
namespace cpu = tonvik::cpu;
using cpu::name_of;
namespace sampler = vireth::image::sampler;

constexpr std::size_t all_colours = std::size_t{1} << 24;
#if defined(__SANITIZE_ADDRESS__)
#define TONVIK_TEST_INSTRUMENTED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TONVIK_TEST_INSTRUMENTED 1
#endif
#endif
#if defined(TONVIK_TEST_SLAB_STRIDE)
// Set by builds that run under an emulator (make test-aarch64).
constexpr std::size_t slab_stride = TONVIK_TEST_SLAB_STRIDE;
#elif defined(TONVIK_TEST_INSTRUMENTED)
// Instrumented builds check every 16th slab: the same code, a tenth of the time.
constexpr std::size_t slab_stride = 16;
#else
constexpr std::size_t slab_stride = 1;
#endif
// Colours are compared a slab at a time so that the buffers stay in cache.
constexpr std::size_t slab_colours = std::size_t{1} << 16;

// Colours [first, first + slab_colours), red fastest.
void fill_slab(std::vector<std::uint8_t>& pixels, std::size_t first) {
  pixels.resize(3 * slab_colours);
  for (std::size_t i = 0; i < slab_colours; ++i) {
    const std::size_t colour = first + i;
    pixels[3 * i] = static_cast<std::uint8_t>(colour);
    pixels[3 * i + 1] = static_cast<std::uint8_t>(colour >> 8);
    pixels[3 * i + 2] = static_cast<std::uint8_t>(colour >> 16);
  }
}

lut random_strip(std::uint32_t n, std::uint8_t channel, std::uint32_t seed) {
  lut t;
  t.height = n;
  t.width = n * n;
  t.channel = channel;
  t.data.resize(std::size_t{t.width} * n * channel);
  std::mt19937 engine(seed);
  for (auto& byte : t.data) byte = static_cast<std::uint8_t>(engine());
  return t;
}

std::vector<std::uint8_t> reference_map(const lut& t, const std::vector<std::uint8_t>& input) {
  std::vector<std::uint8_t> out = input;
  const sampler::strip_view strip = sampler::view_of(t);
  for (std::size_t i = 0; i < out.size() / 3; ++i) sampler::map_pixel(strip, out.data() + 3 * i);
  return out;
}

// Index of the first differing pixel, or -1.
std::int64_t first_difference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return static_cast<std::int64_t>(i / 3);
  return -1;
}

std::vector<cpu::isa> available_variants() {
  std::vector<cpu::isa> variants;
  for (cpu::isa v : {cpu::isa::portable, cpu::isa::sse2, cpu::isa::avx2})
    if (cpu::runs(v)) variants.push_back(v);
  return variants;
}

void expect_every_colour_exact(const lut& t, const std::string& label) {
  kernel::kernel_tables tables;
  kernel::build(t, tables);
  const sampler::strip_view strip = sampler::view_of(t);
  std::vector<std::uint8_t> input;
  std::vector<std::uint8_t> expected;
  std::vector<std::uint8_t> actual;
  for (std::size_t first = 0; first < all_colours; first += slab_stride * slab_colours) {
    fill_slab(input, first);
    expected = input;
    for (std::size_t i = 0; i < slab_colours; ++i) sampler::map_pixel(strip, expected.data() + 3 * i);
    for (cpu::isa v : available_variants()) {
      actual = input;
      kernel::run(v, tables, actual.data(), slab_colours);
      const std::int64_t bad = first_difference(expected, actual);
      ASSERT_EQ(bad, -1) << label << " on the " << name_of(v) << " kernel, colour "
                         << (bad < 0 ? 0 : first + static_cast<std::size_t>(bad));
    }
  }
}

// The CPU's best level on x86 builds, capped by TONVIK_FORCE_ISA: the runs
// of the tests once per forced level would otherwise all take one path.
TEST(MapKernel, TheChosenLevelIsTheCpusCappedByTheForcedOne) {
  cpu::isa expected = cpu::isa::portable;
#if defined(__x86_64__)
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
  expected = avx2 ? cpu::isa::avx2 : cpu::isa::sse2;
#endif
  const char* forced = std::getenv("TONVIK_FORCE_ISA");
  for (cpu::isa level : {cpu::isa::portable, cpu::isa::sse2})
    if (forced && name_of(level) == std::string(forced) && level < expected) expected = level;
  EXPECT_EQ(name_of(cpu::chosen()), std::string(name_of(expected)));
  EXPECT_EQ(available_variants().back(), cpu::chosen());
}

class EveryColour : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(EveryColour, RandomTableMatchesTheScalarSampler) {
  const std::uint32_t n = GetParam();
  expect_every_colour_exact(random_strip(n, 3, 1000 + n), "random " + std::to_string(n));
}

// 31 is a size where float rounding makes some column pairs skip a texel.
INSTANTIATE_TEST_SUITE_P(Sizes, EveryColour, ::testing::Values(2u, 17u, 31u, 33u, 65u));

TEST(MapKernel, IdentityTableAndFourChannelStripMatchTheScalarSampler) {
  expect_every_colour_exact(tonvik_test::parse_text(tonvik_test::identity_cube(33)), "identity 33");
  expect_every_colour_exact(random_strip(5, 4, 7), "random 5, four channels");
}

// Colours that reach every blue tile, every green row and the ends of each
// axis, plus random ones.
std::vector<std::uint8_t> sampled_colours() {
  std::vector<std::uint8_t> rgb;
  for (int r = 0; r < 256; ++r)
    for (int b : {0, 1, 7, 8, 127, 128, 200, 254, 255}) {
      const int g = (r * 37 + b) & 255;
      rgb.insert(rgb.end(), {std::uint8_t(r), std::uint8_t(g), std::uint8_t(b)});
    }
  for (int c : {0, 255}) rgb.insert(rgb.end(), {std::uint8_t(c), std::uint8_t(c), std::uint8_t(c)});
  std::mt19937 engine(5);
  for (int i = 0; i < 3 * 16384; ++i) rgb.push_back(static_cast<std::uint8_t>(engine()));
  return rgb;
}

TEST(MapKernel, EveryTableSizeTheKernelsTakeMatchesOnSampledColours) {
  // Every size, so that the texel pairs a float rounding makes irregular
  // (x1 == x0 + 2) are met wherever they occur.
  const std::vector<std::uint8_t> input = sampled_colours();
  std::size_t sizes_with_extra_pairs = 0;
  for (std::uint32_t n = 2; n <= 80; ++n) {
    const lut t = random_strip(n, n % 2 == 0 ? 4 : 3, 500 + n);
    ASSERT_TRUE(kernel::fits_tables(t));
    kernel::kernel_tables tables;
    kernel::build(t, tables);
    if (!tables.extra_pairs.empty()) ++sizes_with_extra_pairs;
    // The copy reads both texels of an extra pair from the same row.
    for (const kernel::column_pair& pair : tables.extra_pairs) {
      EXPECT_GT(pair.x1, pair.x0 + 1) << n;
      EXPECT_LT(pair.x1, t.width) << n;
    }
    const std::vector<std::uint8_t> expected = reference_map(t, input);
    for (cpu::isa v : available_variants()) {
      std::vector<std::uint8_t> actual = input;
      kernel::run(v, tables, actual.data(), input.size() / 3);
      ASSERT_EQ(first_difference(expected, actual), -1) << n << ' ' << name_of(v);
    }
  }
  // Float rounding does skip a texel at some sizes: the extra pairs are met.
  EXPECT_GT(sizes_with_extra_pairs, 0u);
}

TEST(MapKernel, OddPixelCountsAndTablesAboveTheKernelLimitMatch) {
  // Sizes that leave every remainder of the 4-pixel blocks, on a table small
  // enough for the kernels and on one that falls back to the scalar sampler.
  for (std::uint32_t n : {3u, 81u}) {
    const lut t = random_strip(n, 3, 99 + n);
    EXPECT_EQ(kernel::fits_tables(t), n <= 80);
    for (std::size_t count : {1u, 2u, 3u, 5u, 4099u}) {
      std::vector<std::uint8_t> input(3 * count);
      std::mt19937 engine(static_cast<std::uint32_t>(count));
      for (auto& byte : input) byte = static_cast<std::uint8_t>(engine());
      const std::vector<std::uint8_t> expected = reference_map(t, input);
      for (cpu::isa v : available_variants()) {
        std::vector<std::uint8_t> actual = input;
        kernel::map_with(v, t, actual.data(), count);
        EXPECT_EQ(first_difference(expected, actual), -1) << n << ' ' << count << ' ' << name_of(v);
      }
      std::vector<std::uint8_t> through_api = input;
      vireth::image::map_pixels(t, through_api.data(), count);
      EXPECT_EQ(first_difference(expected, through_api), -1) << n << ' ' << count;
    }
  }
}

}  // namespace
