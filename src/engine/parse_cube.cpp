// Reader for 3D LUTs in the cube text format.
//
// Accepted, line by line (a CR directly before the LF belongs to the line end):
//   empty line, or a line starting with "#"     skipped
//   TITLE <token>                                 title = the token (quotes kept)
//   DOMAIN_MIN ... / DOMAIN_MAX ...               skipped: inputs always span 0..1
//   LUT_3D_SIZE <N>                               N points per axis; the last one wins
//   anything else                                 a data line: three numbers r g b
// Keywords are case-sensitive prefixes at the very start of the line. Data
// lines list the table with red changing fastest, then green, then blue.
// Numbers are read by the standard stream extraction, and a component that a
// data line does not supply keeps its value from the previous data line
// (0 before the first). The only check is that the table holds 3 * N^3 values.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "cube_table.hpp"
#include "lut.hpp"
#include "precondition.hpp"

namespace vireth::image {

namespace {

bool starts_with(const std::string& line, const char* keyword) {
  return line.rfind(keyword, 0) == 0;
}

}  // namespace

void parse_cube(lut& target, std::istream& stream) {
  VIRETH_REQUIRE(stream.good());

  std::string line;
  std::uint32_t size = 0;
  float red = 0.0f;
  float green = 0.0f;
  float blue = 0.0f;
  std::vector<float> entries;

  while (std::getline(stream, line)) {
    // Text mode folds CR LF only on some platforms; drop the CR ourselves.
    if (!stream.eof() && !line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;

    std::istringstream fields(line);
    std::string keyword;
    if (starts_with(line, "TITLE")) {
      std::string title;
      if (fields >> keyword >> title) target.title = title;
    } else if (starts_with(line, "DOMAIN_MIN") || starts_with(line, "DOMAIN_MAX")) {
      continue;
    } else if (starts_with(line, "LUT_3D_SIZE")) {
      fields >> keyword >> size;
    } else {
      fields >> red >> green >> blue;
      entries.push_back(red);
      entries.push_back(green);
      entries.push_back(blue);
    }
  }

  cube::store_table(target, size, entries);
}

}  // namespace vireth::image
