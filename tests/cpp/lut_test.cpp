#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lut.hpp"
#include "test_inputs.hpp"

namespace {

using tonvik_test::identity_cube;
using tonvik_test::parse_text;
using vireth::image::lut;
using vireth::image::rgb_float;
using vireth::image::detail::parse_error;
using vireth::image::detail::precondition_error;

// A 2-point strip whose texel i holds (10 i, 10 i + 1, 10 i + 2).
lut numbered_strip(std::uint8_t channel = 3) {
  lut t;
  t.height = 2;
  t.width = 4;
  t.channel = channel;
  for (std::uint8_t i = 0; i < 8; ++i) {
    for (std::uint8_t k = 0; k < 3; ++k) t.data.push_back(std::uint8_t(10 * i + k));
    if (channel == 4) t.data.push_back(std::uint8_t(200 + i));
  }
  return t;
}

rgb_float texel(std::uint8_t i) { return {10.0f * i, 10.0f * i + 1, 10.0f * i + 2}; }

std::array<std::uint8_t, 3> map_one(const lut& t, std::array<std::uint8_t, 3> px) {
  vireth::image::map_pixels(t, px.data(), 1);
  return px;
}

TEST(Fetch, CornersReadTheCornerTexels) {
  const lut t = numbered_strip();
  EXPECT_EQ(t.fetch(0, 0), texel(0));
  EXPECT_EQ(t.fetch(0, 1), texel(4));
  // u = 1 lands one texel past the row; it clamps to the last column.
  EXPECT_EQ(t.fetch(1, 0), texel(3));
  EXPECT_EQ(t.fetch(1, 1), texel(7));
}

TEST(Fetch, BlendsBilinearlyBetweenNeighbours) {
  const lut t = numbered_strip();
  // fx = 4 * 0.125 = 0.5, fy = 0: halfway between texels 0 and 1.
  EXPECT_EQ(t.fetch(0.125f, 0), (rgb_float{5, 6, 7}));
  // fy = 2 * 0.25 = 0.5: halfway between texels 0 and 4.
  EXPECT_EQ(t.fetch(0, 0.25f), (rgb_float{20, 21, 22}));
}

TEST(Fetch, FourthChannelIsIgnored) {
  const lut rgb = numbered_strip(3);
  const lut rgba = numbered_strip(4);
  for (float u : {0.0f, 0.3f, 0.62f, 1.0f})
    for (float v : {0.0f, 0.41f, 1.0f}) EXPECT_EQ(rgba.fetch(u, v), rgb.fetch(u, v)) << u << ' ' << v;
  EXPECT_EQ(rgba.lookup(0.7f, 0.2f, 0.9f), rgb.lookup(0.7f, 0.2f, 0.9f));
}

std::string precondition_text(const std::function<void()>& call) {
  try {
    call();
  } catch (const precondition_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(Preconditions, OutOfDomainInputsThrowNamingTheExpression) {
  const lut t = numbered_strip();
  EXPECT_NE(precondition_text([&] { t.fetch(-0.1f, 0); }).find("u >= 0.0f && u <= 1.0f"), std::string::npos);
  EXPECT_NE(precondition_text([&] { t.fetch(0, 1.5f); }).find("v >= 0.0f && v <= 1.0f"), std::string::npos);
  EXPECT_NE(precondition_text([&] { t.lookup(0, 0, 2); }).find("w >= 0.0f && w <= 1.0f"), std::string::npos);
  const std::string text = precondition_text([&] { t.lookup(0, 0, -1); });
  EXPECT_NE(text.find("lut.cpp:"), std::string::npos) << text;
}

TEST(Preconditions, BrokenShapesThrowInsteadOfReadingOutside) {
  auto broken = [](auto change) {
    lut t = numbered_strip();
    change(t);
    return t;
  };
  const std::vector<lut> tables = {
      broken([](lut& t) { t.data.clear(); }),
      broken([](lut& t) { t.data.pop_back(); }),
      broken([](lut& t) { t.channel = 2; }),
      broken([](lut& t) { t.width = 5; }),
      broken([](lut& t) { t.height = 3; }),
      broken([](lut& t) { t.channel = 4; }),  // 24 bytes cannot hold 8 RGBA texels
      // 65536^2 wraps to 0 in 32 bits: the shape check must not be fooled.
      broken([](lut& t) {
        t.height = 65536;
        t.width = 0;
        t.data.clear();
      }),
  };
  for (const lut& t : tables) {
    EXPECT_THROW(t.fetch(0.5f, 0.5f), precondition_error);
    EXPECT_THROW(t.lookup(0.5f, 0.5f, 0.5f), precondition_error);
    std::array<std::uint8_t, 3> px{1, 2, 3};
    EXPECT_THROW(vireth::image::map_pixels(t, px.data(), 1), vireth::image::detail::exception);
  }
}

TEST(Preconditions, TablesBelowTwoPointsCannotBeSampled) {
  const char* expected = "[lut.exception.parse_error.1] parse error: The lut size must be at least 2";
  for (const char* text : {"", "LUT_3D_SIZE 1\n0.5 0.5 0.5\n"}) {
    const lut t = parse_text(text);
    try {
      vireth::image::require_samplable(t);
      FAIL() << "accepted: " << text;
    } catch (const parse_error& e) {
      EXPECT_STREQ(e.what(), expected);
      EXPECT_EQ(e.id, 1);
      EXPECT_EQ(e.position, 0u);
    }
    std::array<std::uint8_t, 3> px{1, 2, 3};
    EXPECT_THROW(vireth::image::map_pixels(t, px.data(), 1), vireth::image::detail::exception);
    EXPECT_THROW(t.lookup(0.5f, 0.5f, 0.5f), vireth::image::detail::exception);
  }
  EXPECT_NO_THROW(vireth::image::require_samplable(parse_text(identity_cube(2))));
}

TEST(Lookup, TwoPointIdentityCorners) {
  const lut t = parse_text(identity_cube(2));
  EXPECT_EQ(t.lookup(0, 0, 0), (rgb_float{0, 0, 0}));
  // Blue below the first slice stays in tile 0, so red and green survive.
  EXPECT_EQ(t.lookup(1, 0, 0), (rgb_float{255, 0, 0}));
  EXPECT_EQ(t.lookup(0, 1, 0), (rgb_float{0, 255, 0}));
  EXPECT_EQ(t.lookup(1, 1, 0), (rgb_float{255, 255, 0}));
  // w = 1: b = 0.75, tiles 0 and 1 blended at 0.75 towards the blue tile.
  EXPECT_EQ(t.lookup(1, 1, 1), (rgb_float{255, 255, 191.25f}));
  EXPECT_EQ(t.lookup(0, 0, 1), (rgb_float{0, 0, 191.25f}));
}

TEST(Lookup, ThirtyThreePointIdentityCorners) {
  const lut t = parse_text(identity_cube(33));
  EXPECT_EQ(t.lookup(0, 0, 0), (rgb_float{0, 0, 0}));
  EXPECT_EQ(t.lookup(1, 0, 0), (rgb_float{255, 0, 0}));
  const rgb_float white = t.lookup(1, 1, 1);
  EXPECT_EQ(white[0], 255.0f);
  EXPECT_EQ(white[1], 255.0f);
  EXPECT_GT(white[2], 254.0f);
  EXPECT_LT(white[2], 255.0f);
}

struct PixelCase {
  std::array<std::uint8_t, 3> in;
  std::array<std::uint8_t, 3> out;
  unsigned points = 33;  // of the identity table
};

void PrintTo(const PixelCase& c, std::ostream* os) {
  *os << int(c.in[0]) << ',' << int(c.in[1]) << ',' << int(c.in[2]) << " through " << c.points << " points";
}

class IdentityPixels : public testing::TestWithParam<PixelCase> {};

TEST_P(IdentityPixels, IdentityTablesTruncateAsDocumented) {
  const lut table = parse_text(identity_cube(GetParam().points));
  EXPECT_EQ(map_one(table, GetParam().in), GetParam().out);
}

// The blue position's offset of 0.5/N pulls blue 255 down by (255/(N-1)) *
// (0.5/N) levels before truncation: 63.75 at 2 points, 6.375 at 5, 0.47 at
// 17, 0.12 at 33, 0.03 at 65 (the README's table).
INSTANTIATE_TEST_SUITE_P(
    Named, IdentityPixels,
    testing::Values(PixelCase{{128, 128, 128}, {127, 127, 127}}, PixelCase{{64, 128, 192}, {63, 127, 191}},
                    PixelCase{{255, 255, 255}, {255, 255, 254}}, PixelCase{{255, 0, 0}, {255, 0, 0}},
                    PixelCase{{0, 0, 0}, {0, 0, 0}}, PixelCase{{255, 255, 0}, {255, 255, 0}},
                    PixelCase{{0, 255, 0}, {0, 255, 0}}, PixelCase{{255, 255, 255}, {255, 255, 191}, 2},
                    PixelCase{{255, 255, 255}, {255, 255, 248}, 5},
                    PixelCase{{255, 255, 255}, {255, 255, 254}, 17},
                    PixelCase{{255, 255, 255}, {255, 255, 254}, 65}));

TEST(Lookup, BlueAtOneHalfBlendsTiles15And16) {
  // With N = 33 and w = 0.5 the blue position is 16 - 0.5/33: tile 15 blended
  // into tile 16 at 1 - 0.5/33. A table whose blue output is the tile index
  // times 7 shows the blend directly.
  std::string text = "LUT_3D_SIZE 33\n";
  for (int b = 0; b < 33; ++b)
    for (int g = 0; g < 33; ++g)
      for (int r = 0; r < 33; ++r) text += "0 0 " + std::to_string(b * 7 / 255.0) + "\n";
  const lut t = parse_text(text);
  const float n = 33.0f;
  const float tile15 = t.data[3 * 15 * 33 + 2];
  const float tile16 = t.data[3 * 16 * 33 + 2];
  const float weight = (((n - 1.0f) / n * 0.5f * n - 0.5f / n) - 15.0f);
  EXPECT_EQ(t.lookup(0.0f, 0.0f, 0.5f)[2], (tile16 - tile15) * weight + tile15);
}

TEST(MapPixels, MatchesLookupPerPixelOnARandomTable) {
  // Every byte of a random 5-point table, every pixel of a sweep: the batch
  // step must give exactly the per-pixel lookup truncated to bytes.
  lut t;
  t.height = 5;
  t.width = 25;
  t.channel = 3;
  std::uint32_t state = 12345;
  for (int i = 0; i < 3 * 125; ++i) {
    state = state * 1664525u + 1013904223u;
    t.data.push_back(std::uint8_t(state >> 24));
  }
  std::vector<std::uint8_t> pixels;
  for (int i = 0; i < 3 * 4096; ++i) {
    state = state * 1664525u + 1013904223u;
    pixels.push_back(std::uint8_t(state >> 24));
  }
  std::vector<std::uint8_t> mapped = pixels;
  vireth::image::map_pixels(t, mapped.data(), pixels.size() / 3);
  for (std::size_t i = 0; i < pixels.size(); i += 3) {
    const rgb_float c = t.lookup(pixels[i] / 255.0f, pixels[i + 1] / 255.0f, pixels[i + 2] / 255.0f);
    for (int k = 0; k < 3; ++k) ASSERT_EQ(mapped[i + k], std::uint8_t(int(c[k]))) << i;
  }
}

}  // namespace
