// The lean readers of the formats whose layout lets rows come out as the
// decoder finishes them. Each returns null when it does not stream this
// file's layout (the caller then decodes the whole image), and otherwise a
// reader that fails with reader_failure::unsure wherever it cannot match the
// whole-image decoder's outcome. `header` passed the screen of
// image_codec.hpp. Internal to the codec.
#pragma once

#include <memory>

#include "image_reader.hpp"
#include "input_bounds.hpp"

namespace tonvik::codec::detail {

std::unique_ptr<image_reader> png_strips(const image_bytes& bytes, const image_header& header);
std::unique_ptr<image_reader> jpeg_strips(const image_bytes& bytes, const image_header& header);

}  // namespace tonvik::codec::detail
