// The PNG Paeth predictor without branches. Picks whichever of a (left),
// b (above) and c (above left) is closest to a + b - c, preferring a, then b,
// on ties: the predictor of the PNG format, and the same choice stb's
// version makes on every input (the tests try all 2^24 of them).
//
// In a photograph the winner changes from byte to byte, so the branches of
// the plain form mispredict about half the time; masks cost a few
// instructions each and never miss.
#pragma once

#include <cstdlib>

// Plain name, no namespace: the patched stb loader calls it.
inline int tonvik_png_paeth(int a, int b, int c) {
  const int pa = std::abs(b - c);          // |p - a| with p = a + b - c
  const int pb = std::abs(a - c);          // |p - b|
  const int pc = std::abs(a + b - c - c);  // |p - c|
  const int take_a = -static_cast<int>((pa <= pb) & (pa <= pc));  // all ones or zero
  const int take_b = -static_cast<int>(pb <= pc);
  const int b_or_c = (b & take_b) | (c & ~take_b);
  return (a & take_a) | (b_or_c & ~take_a);
}
