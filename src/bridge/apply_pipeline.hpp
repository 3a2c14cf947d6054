// The apply pipeline behind BridgeClient::apply_lut: read and check the LUT,
// then decode the image, and write the JPEG while mapping it, a strip of rows
// at a time.
//
// The road of the pixels: decode_file gives the whole image; graded_rows
// lends it to the writer strip by strip (the writer's units: 8 rows, or 16
// when it subsamples), mapping each strip through the LUT in place just
// before the writer codes it, while the strip is still in cache. A decoder
// that hands rows as it finishes them takes graded_rows's place as the source
// of its strips.
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
#include "row_source.hpp"

namespace tonvik::bridge {

// Opens `lut_path` as a text stream, parses it, closes it, and rejects a table
// too small to sample. The file is closed before this returns or throws.
vireth::image::lut read_lut(const std::string& lut_path);

// The rows of a decoded image, each strip mapped in place through `table`
// (the engine's exact kernel) when it is lent: the image holds its mapped
// pixels above the last strip lent and its decoded ones below. The table's
// check and the kernel's tables come first, in the constructor, which throws
// the engine's exceptions for a table that cannot be sampled; lending a
// strip throws nothing. Rows lent again (the writer run a second time) are
// not mapped twice. `table` and `image` must outlive it.
class graded_rows final : public codec::row_source {
 public:
  graded_rows(const vireth::image::lut& table, codec::rgb_image& image);

  const unsigned char* next_rows(int first, int count) override;

 private:
  codec::rgb_image& image_;
  vireth::image::pixel_mapper mapper_;
  int mapped_ = 0;  // rows [0, mapped_) hold mapped pixels
};

// The JPEG that apply_lut writes for an image of `width` x `height` whose
// rows come from `rows`, into `sink`: baseline, at quality 3 x width (one
// row's byte length; the writer subsamples chroma 2x2 up to 90 and clamps
// the rest to 100). False for a size fits_jpeg refuses, when the source
// gives no rows and when the sink refuses a byte.
bool encode_output(codec::row_source& rows, int width, int height, codec::byte_sink& sink);

// The same for a decoded image as it is, unmapped.
bool encode_output(const codec::rgb_image& image, codec::byte_sink& sink);

// Decodes `image_path`, maps it through `table` and writes the JPEG to
// `output_path`. The output is not touched unless the image decoded.
const char* apply_to_file(const vireth::image::lut& table, const std::string& image_path,
                          const std::string& output_path);

}  // namespace tonvik::bridge
