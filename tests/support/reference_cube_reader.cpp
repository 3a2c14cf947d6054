// The cube reader written as the format describes it: one line at a time,
// each parsed by its own string stream. The engine's reader must agree with
// it on every input, including where a read is cut short: a line longer than
// cube::longest_line, or one data line more than the largest table holds.
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

[[noreturn]] void refuse() {
  throw vireth::image::detail::parse_error(0, 0, vireth::image::count_mismatch_detail);
}

}  // namespace

void reference_parse_cube(vireth::image::lut& target, std::istream& stream) {
  VIRETH_REQUIRE(stream.good());

  std::string line;
  std::uint32_t size = 0;
  float red = 0.0f;
  float green = 0.0f;
  float blue = 0.0f;
  vireth::image::cube::entry_list entries;
  std::size_t data_lines = 0;

  while (std::getline(stream, line)) {
    // Text mode folds CR LF only on some platforms; drop the CR ourselves.
    if (!stream.eof() && !line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > vireth::image::cube::longest_line) refuse();
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
      if (++data_lines > vireth::image::cube::largest_entry_count) refuse();
      fields >> red >> green >> blue;
      entries.append(red, green, blue);
    }
  }

  vireth::image::cube::store_table(target, size, entries);
}

}  // namespace tonvik_test
