// The apply pipeline behind BridgeClient::apply_lut: read and check the LUT,
// then decode, map and write the image.
//
// Failure contract: LUT failures throw (lut_open_error, the engine's
// parse_error); image and output failures come back as a status string from
// status.hpp. std::bad_alloc passes through.
//
//   vireth::image::lut table = read_lut(lut_path);
//   const char* status = apply_to_file(table, image_path, output_path);
#pragma once

#include <string>

#include "byte_sink.hpp"
#include "image_codec.hpp"
#include "lut.hpp"

namespace tonvik::bridge {

// Opens `lut_path` as a text stream, parses it, closes it, and rejects a table
// too small to sample. The file is closed before this returns or throws.
vireth::image::lut read_lut(const std::string& lut_path);

// Maps every pixel of `image` in place through `table` (the engine's exact
// kernel). Throws the engine's exceptions for a table that cannot be sampled.
void map_image(const vireth::image::lut& table, codec::rgb_image& image);

// The JPEG that apply_lut writes for `image`, into `sink`: baseline, at
// quality 3 x width (one row's byte length; the writer subsamples chroma 2x2
// up to 90 and clamps the rest to 100). False for an image larger than
// fits_jpeg allows and when the sink refuses a byte.
bool encode_output(const codec::rgb_image& image, codec::byte_sink& sink);

// Decodes `image_path`, maps it through `table` and writes the JPEG to
// `output_path`. The output is not touched unless the image decoded.
const char* apply_to_file(const vireth::image::lut& table, const std::string& image_path,
                          const std::string& output_path);

}  // namespace tonvik::bridge
