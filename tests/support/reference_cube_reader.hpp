// A reference cube reader for differential tests: the stream-extraction
// rules run literally. Same contract as vireth::image::parse_cube.
#pragma once

#include <istream>

#include "lut.hpp"

namespace tonvik_test {

void reference_parse_cube(vireth::image::lut& target, std::istream& stream);

}  // namespace tonvik_test
