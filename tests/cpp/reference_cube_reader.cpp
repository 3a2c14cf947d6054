// The cube reader written as the format describes it: one line at a time,
// each parsed by its own string stream. The engine's reader must agree with
// it on every input.
#include "reference_cube_reader.hpp"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "cube_table.hpp"
#include "precondition.hpp"

namespace tonvik_test {

namespace {

bool starts_with(const std::string& line, const char* keyword) { return line.rfind(keyword, 0) == 0; }

}  // namespace

void reference_parse_cube(vireth::image::lut& target, std::istream& stream) {
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

  vireth::image::cube::store_table(target, size, entries);
}

}  // namespace tonvik_test
