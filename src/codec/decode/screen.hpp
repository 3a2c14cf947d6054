// The header screen and the whole decode after it, shared by decode_file and
// the image_file readers. Internal to the codec.
#pragma once

#include <cstdint>

#include "image_codec.hpp"
#include "input_bounds.hpp"
#include "stb_loader.hpp"

namespace tonvik::codec::detail {

// Reads the header from the start of `source`: decoded when it passes.
decode_status screen(const byte_source& source, std::uint64_t file_size, image_header& header);

// The decode of a screened file, from the start of `source`.
decoded decode_screened(const byte_source& source, const image_header& header);

}  // namespace tonvik::codec::detail
