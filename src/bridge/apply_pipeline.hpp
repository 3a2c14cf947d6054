// The apply pipeline behind BridgeClient::apply_lut: read and check the LUT,
// then decode, map and write the image a strip of rows at a time.
//
// The road of the pixels: the codec's image_reader decodes a strip (a
// PNG's rows as they are inflated and unfiltered, a JPEG's as they are
// upsampled from its planes, any other format's out of its whole decode);
// graded_rows maps that strip through the LUT in place while it is in
// cache, as the writer asks for it; the writer codes it into the output
// file's buffer. The strip is the writer's unit: 8 rows, or 16 when it
// subsamples.
//
// Outcomes do not depend on that schedule. A decode failure found after
// output has begun discards the output (the file gets its name only once
// complete) and returns the decode's status; an image that fails wins over an
// output that cannot be written; a target written in place (a pipe, a
// device) receives nothing from an image that turns out bad, because it is
// decoded whole before that target is opened.
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
#include "image_reader.hpp"
#include "lut.hpp"
#include "row_source.hpp"

namespace tonvik::bridge {

// Opens `lut_path` as a text stream, parses it, closes it, and rejects a table
// too small to sample. The file is closed before this returns or throws.
vireth::image::lut read_lut(const std::string& lut_path);

// The rows of `reader`, each strip mapped in place through `mapper` (the
// engine's exact kernel) when the writer asks for it. Lending a strip throws
// nothing; null when the reader has no rows. Both must outlive it.
class graded_rows final : public codec::row_source {
 public:
  graded_rows(const vireth::image::pixel_mapper& mapper, codec::image_reader& reader)
      : mapper_(mapper), reader_(reader) {}

  const unsigned char* next_rows(int first, int count) override;

 private:
  const vireth::image::pixel_mapper& mapper_;
  codec::image_reader& reader_;
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
// `output_path`. The output is left as it was unless the image decoded.
const char* apply_to_file(const vireth::image::lut& table, const std::string& image_path,
                          const std::string& output_path);

}  // namespace tonvik::bridge
