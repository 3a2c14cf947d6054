#include "apply_pipeline.hpp"

#include <cerrno>
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

void map_image(const vireth::image::lut& table, codec::rgb_image& image) {
  vireth::image::map_pixels(table, image.pixels.get(), image.pixel_count());
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

bool encode_output(const codec::rgb_image& image, codec::byte_sink& sink) {
  if (!image.pixels || !codec::fits_jpeg(image.width, image.height)) return false;
  // A width that fits_jpeg accepts keeps 3 x width far inside int.
  return codec::write_jpeg(sink, image.pixels.get(), image.width, image.height, 3 * image.width);
}

const char* apply_to_file(const vireth::image::lut& table, const std::string& image_path,
                          const std::string& output_path) {
  codec::decoded result = codec::decode_file(image_path);
  if (result.status == codec::decode_status::too_large) return status::image_too_large;
  if (result.status != codec::decode_status::decoded) return status::image_not_found;
  map_image(table, result.image);
  const auto jpeg = [&image = result.image](codec::byte_sink& sink) { return encode_output(image, sink); };
  if (!write_output_file(output_path, jpeg)) return status::output_not_written;
  return status::ok;
}

}  // namespace tonvik::bridge
