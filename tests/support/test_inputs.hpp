// Inputs the C++ tests, the fuzzers and the benchmarks build from: cube texts,
// binary PPM images (which the loader decodes exactly) and the optional corpus.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

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

// A binary PPM (P6): the loader hands its bytes over unchanged.
inline std::string ppm(int width, int height, const std::vector<std::uint8_t>& rgb) {
  std::string bytes = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  bytes.append(rgb.begin(), rgb.end());
  return bytes;
}

// A flat grey PPM of the given size.
inline std::string grey_ppm(int width, int height, std::uint8_t value = 128) {
  return ppm(width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3, value));
}

// The optional third-party corpus (`part` is "cube" or "images"): where
// TONVIK_CORPUS_DIR says, else ../shared/corpus beside the checkout. Tests
// that read it skip when it is absent.
inline std::filesystem::path corpus_dir(const char* part) {
  const char* chosen = std::getenv("TONVIK_CORPUS_DIR");
  return std::filesystem::path(chosen && *chosen ? chosen : TONVIK_DEFAULT_CORPUS_DIR) / part;
}

}  // namespace tonvik_test
