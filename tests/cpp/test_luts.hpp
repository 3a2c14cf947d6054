// Cube texts and tables that several test files build from.
#pragma once

#include <sstream>
#include <string>

#include "lut.hpp"

namespace tonvik_test {

// An identity table of `n` points: entry (r, g, b) holds r/(n-1), g/(n-1),
// b/(n-1), red running fastest.
inline std::string identity_cube(unsigned n) {
  std::ostringstream text;
  text << "TITLE \"identity\"\nLUT_3D_SIZE " << n << "\n";
  text.precision(9);
  for (unsigned b = 0; b < n; ++b)
    for (unsigned g = 0; g < n; ++g)
      for (unsigned r = 0; r < n; ++r)
        text << float(r) / float(n - 1) << ' ' << float(g) / float(n - 1) << ' ' << float(b) / float(n - 1)
             << '\n';
  return text.str();
}

inline vireth::image::lut parse_text(const std::string& text) {
  vireth::image::lut table;
  std::istringstream stream(text);
  vireth::image::parse_cube(table, stream);
  return table;
}

}  // namespace tonvik_test
