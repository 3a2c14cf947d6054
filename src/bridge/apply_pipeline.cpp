#include "apply_pipeline.hpp"

#include <cerrno>
#include <cstddef>
#include <fstream>

#include <sys/stat.h>

#include "encode/jpeg_writer.hpp"
#include "image_codec.hpp"
#include "lut_open_error.hpp"
#include "output_file.hpp"
#include "status.hpp"

namespace tonvik::bridge {

namespace {

// Opening a directory as a file stream succeeds here; reading it would only
// fail later, inside the reader. Refuse it up front as unopenable.
bool is_directory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

graded_rows::graded_rows(const vireth::image::lut& table, codec::rgb_image& image)
    : image_(image), mapper_(table, image.pixel_count()) {}

const unsigned char* graded_rows::next_rows(int first, int count) {
  const std::size_t row_bytes = static_cast<std::size_t>(image_.width) * 3;
  unsigned char* const pixels = image_.pixels.get();
  // Rows above `mapped_` were mapped when first lent: a second pass (the
  // output file retried another way) lends them as they are.
  const int end = first + count;
  if (end > mapped_) {
    const int from = first > mapped_ ? first : mapped_;
    mapper_.map(pixels + static_cast<std::size_t>(from) * row_bytes,
                static_cast<std::size_t>(end - from) * static_cast<std::size_t>(image_.width));
    mapped_ = end;
  }
  return pixels + static_cast<std::size_t>(first) * row_bytes;
}

vireth::image::lut read_lut(const std::string& lut_path) {
  vireth::image::lut table;
  {
    errno = 0;
    std::ifstream stream(lut_path.c_str());
    if (stream.fail() || stream.bad()) {
      throw lut_open_error(lut_path, errno != 0 ? errno : EIO);
    }
    if (is_directory(lut_path)) throw lut_open_error(lut_path, EISDIR);
    vireth::image::parse_cube(table, stream);
  }  // the LUT file is closed here, before any image is opened
  vireth::image::require_samplable(table);
  return table;
}

bool encode_output(codec::row_source& rows, int width, int height, codec::byte_sink& sink) {
  if (!codec::fits_jpeg(width, height)) return false;
  // A width that fits_jpeg accepts keeps 3 x width far inside int.
  return codec::write_jpeg(sink, rows, width, height, 3 * width);
}

bool encode_output(const codec::rgb_image& image, codec::byte_sink& sink) {
  if (!image.pixels) return false;
  codec::image_rows rows(image.pixels.get(), image.width);
  return encode_output(rows, image.width, image.height, sink);
}

const char* apply_to_file(const vireth::image::lut& table, const std::string& image_path,
                          const std::string& output_path) {
  codec::decoded result = codec::decode_file(image_path);
  if (result.status == codec::decode_status::too_large) return status::image_too_large;
  if (result.status != codec::decode_status::decoded) return status::image_not_found;
  // The table's check and the kernel's tables before the output is opened:
  // from here on nothing throws but an allocation.
  graded_rows rows(table, result.image);
  const auto jpeg = [&rows, &image = result.image](codec::byte_sink& sink) {
    return encode_output(rows, image.width, image.height, sink);
  };
  if (!write_output_file(output_path, jpeg)) return status::output_not_written;
  return status::ok;
}

}  // namespace tonvik::bridge
