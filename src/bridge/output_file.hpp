// Writes the JPEG of an image to a path the way a plain "wb" write would,
// except that a failed write never destroys what was there.
//
// An existing regular file (also when reached through symbolic links, which
// stay in place) is replaced by renaming a complete, synced temporary file from
// the same directory over it, keeping its permission bits; on any failure the
// old contents stay and the temporary file is removed. A missing file is
// created the same way, so a failed write leaves nothing behind. A target that
// is not a regular file (a device such as /dev/null, a FIFO) is written
// directly. When the directory refuses a temporary file but the existing file
// would accept a plain write, nothing is written: the old contents are kept
// rather than risked on an in-place truncation.
//
//   if (!write_jpeg_file(image, "graded.jpg")) return status::output_not_written;
#pragma once

#include <string>

#include "image_codec.hpp"

namespace tonvik::bridge {

// True only when the complete JPEG is in place at `output_path`.
bool write_jpeg_file(const codec::rgb_image& image, const std::string& output_path);

}  // namespace tonvik::bridge
