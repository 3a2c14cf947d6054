// The header screen and the whole decode after it, shared by decode_file and
// the image_file readers, and the byte source those readers read through.
// Internal to the codec.
#pragma once

#include <cstdint>

#include "file_source.hpp"
#include "image_codec.hpp"
#include "image_reader.hpp"
#include "input_bounds.hpp"
#include "stb_loader.hpp"

namespace tonvik::codec::detail {

// Reads the header from the start of `source`: decoded when it passes.
decode_status screen(const byte_source& source, std::uint64_t file_size, image_header& header);

// The decode of a screened file, from the start of `source`.
decoded decode_screened(const byte_source& source, const image_header& header);

// A byte_source reading `bytes` from its start: memory as it is, a regular
// file through `file`, which must outlive it.
byte_source source_of(const image_bytes& bytes, regular_file_reader& file);

}  // namespace tonvik::codec::detail
