#include "decode/png_paeth.hpp"

#include <cstdlib>

#include <gtest/gtest.h>

namespace {

// The predictor as the PNG format states it, and as stb wrote it.
int scalar_paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return a;
  if (pb <= pc) return b;
  return c;
}

TEST(PngPaeth, EqualsTheScalarFormOnEveryInput) {
  long mismatches = 0;
  int first_a = -1, first_b = -1, first_c = -1;
  for (int a = 0; a < 256; ++a)
    for (int b = 0; b < 256; ++b)
      for (int c = 0; c < 256; ++c)
        if (tonvik_png_paeth(a, b, c) != scalar_paeth(a, b, c)) {
          if (mismatches++ == 0) first_a = a, first_b = b, first_c = c;
        }
  EXPECT_EQ(mismatches, 0) << "first at a=" << first_a << " b=" << first_b << " c=" << first_c;
}

}  // namespace
