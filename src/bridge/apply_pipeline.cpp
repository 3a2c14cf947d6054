#include "apply_pipeline.hpp"

#include <cerrno>
#include <algorithm>
#include <cstddef>
#include <fstream>
#include <memory>

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

const unsigned char* graded_rows::next_rows(int first, int count) {
  unsigned char* const rows = reader_.next_rows(first, count);
  if (rows != nullptr) {
    mapper_.map(rows, static_cast<std::size_t>(count) * static_cast<std::size_t>(reader_.width()));
  }
  return rows;
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

namespace {

// One image's way into the output file, and what was learnt of the image on
// the way. The output file may run the writer twice (another kind of file
// takes over), and the pipeline may run it again after the lean reader could
// not tell: each run reads the image afresh.
class image_job {
 public:
  enum class verdict { unknown, sound, undecodable, too_large, unsure };

  image_job(const codec::image_file& file, const vireth::image::pixel_mapper& mapper)
      : file_(file), mapper_(mapper) {}

  verdict image() const noexcept { return verdict_; }
  // From now on the whole decode reads the image: its outcome counts.
  void decode_whole() noexcept { whole_ = true; }

  bool write(codec::byte_sink& sink) {
    std::unique_ptr<codec::image_reader> reader = settled_ ? std::move(settled_) : open_reader();
    if (!accept(*reader)) return false;
    graded_rows rows(mapper_, *reader);
    if (!encode_output(rows, reader->width(), reader->height(), sink)) {
      accept(*reader);  // the reader's failure, if the rows stopped coming
      return false;
    }
    return read_to_end(*reader);
  }

  // Before a target written in place is opened: the whole image, decoded
  // now, so that a bad one sends that target nothing.
  bool settle() {
    settled_ = file_.whole_image();
    if (!accept(*settled_)) return false;
    verdict_ = verdict::sound;
    return true;
  }

  // The image's outcome when the output failed before the image was read to
  // its end: the rows are read and dropped.
  verdict drain() {
    std::unique_ptr<codec::image_reader> reader = open_reader();
    constexpr int strip = 16;
    for (int y = 0; y < reader->height() && accept(*reader); y += strip) {
      reader->next_rows(y, std::min(strip, reader->height() - y));
    }
    if (accept(*reader) && read_to_end(*reader)) return verdict_;
    if (verdict_ == verdict::unsure) {
      decode_whole();
      return drain();
    }
    return verdict_;
  }

 private:
  std::unique_ptr<codec::image_reader> open_reader() const {
    return whole_ ? file_.whole_image() : file_.strips();
  }

  // Notes the reader's failure; false when it has one.
  bool accept(const codec::image_reader& reader) {
    switch (reader.failure()) {
      case codec::reader_failure::none: return true;
      case codec::reader_failure::undecodable: verdict_ = verdict::undecodable; break;
      case codec::reader_failure::too_large: verdict_ = verdict::too_large; break;
      case codec::reader_failure::unsure: verdict_ = verdict::unsure; break;
    }
    return false;
  }

  bool read_to_end(codec::image_reader& reader) {
    if (!reader.finish()) {
      if (accept(reader)) verdict_ = verdict::unsure;  // a reader must say why; if not, ask the whole decode
      return false;
    }
    verdict_ = verdict::sound;
    return true;
  }

  const codec::image_file& file_;
  const vireth::image::pixel_mapper& mapper_;
  std::unique_ptr<codec::image_reader> settled_;
  bool whole_ = false;
  verdict verdict_ = verdict::unknown;
};

const char* status_of(image_job::verdict image) {
  switch (image) {
    case image_job::verdict::undecodable: return status::image_not_found;
    case image_job::verdict::too_large: return status::image_too_large;
    default: return status::output_not_written;
  }
}

}  // namespace

const char* apply_to_file(const vireth::image::lut& table, const std::string& image_path,
                          const std::string& output_path) {
  const codec::image_file file = codec::open_image_file(image_path);
  if (file.status() == codec::decode_status::too_large) return status::image_too_large;
  if (file.status() != codec::decode_status::decoded) return status::image_not_found;
  // The table's check and the kernel's tables before the output is opened:
  // from here on nothing throws but an allocation.
  const vireth::image::pixel_mapper mapper(
      table, static_cast<std::size_t>(file.width()) * static_cast<std::size_t>(file.height()));
  image_job job(file, mapper);
  const auto jpeg = [&job](codec::byte_sink& sink) { return job.write(sink); };
  const auto settle = [&job] { return job.settle(); };
  // A second round only after the lean reader could not tell: the whole
  // decode is never unsure.
  for (int round = 0; round < 2; ++round) {
    if (write_output_file(output_path, jpeg, settle)) return status::ok;
    if (job.image() != image_job::verdict::unsure) break;
    job.decode_whole();
  }
  return status_of(job.image() == image_job::verdict::unknown ? job.drain() : job.image());
}

}  // namespace tonvik::bridge
