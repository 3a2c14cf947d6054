// An image file opened once and read a strip of rows at a time: the decoder's
// last stage (a PNG's unfiltered rows, a JPEG's upsampling and colour step)
// hands each strip over as it finishes it, so no image-sized RGB buffer is
// needed where the layout allows it.
//
// Two kinds of reader over one image_file, each starting from the file's
// first byte, as many times as asked (a FIFO's bytes are held in memory):
//   - strips(): the lean reader. Where it cannot decode the file the way the
//     whole-image decoder would (an unusual stream, damage, a layout it does
//     not stream), it stops with failure() == unsure, never with a wrong
//     pixel: ask whole_image() then, whose outcome is the image's.
//   - whole_image(): the whole decode (decode_file's), lent a strip at a time.
//
// Rows are lent writable, so the caller may change a strip in place before
// passing it on. Failure contract: nothing throws but std::bad_alloc; a
// reader that fails lends no further rows.
//
//   image_file file = open_image_file(path);
//   if (file.status() != decode_status::decoded) return file.status();
//   auto reader = file.strips();
//   for (int y = 0; y < reader->height(); y += 16) use(reader->next_rows(y, ...));
//   bool sound = reader->finish();
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "image_codec.hpp"

namespace tonvik::codec {

enum class reader_failure {
  none,
  undecodable,  // the image cannot be decoded (as decode_status::undecodable)
  too_large,    // the decoded size is beyond what we write
  unsure,       // this reader cannot tell: the whole-image reader decides
};

class image_reader {
 public:
  virtual ~image_reader() = default;
  image_reader(const image_reader&) = delete;
  image_reader& operator=(const image_reader&) = delete;

  int width() const noexcept { return width_; }
  int height() const noexcept { return height_; }
  reader_failure failure() const noexcept { return failure_; }

  // Lends rows [first, first + count): packed RGB, 3 x width bytes each, one
  // after another, writable and valid until the next call. Rows are asked for
  // in order, each once, in strips of one height (the last one shorter).
  // Null when the rows cannot be had; failure() says why.
  virtual unsigned char* next_rows(int first, int count) = 0;

  // After the last row: reads on through whatever follows the pixels as the
  // whole-image decoder would. True when the image is complete and sound.
  virtual bool finish() = 0;

 protected:
  image_reader() = default;
  void fail(reader_failure why) noexcept { failure_ = why; }

  int width_ = 0;
  int height_ = 0;

 private:
  reader_failure failure_ = reader_failure::none;
};

// Where a reader's bytes are: a regular file read at offsets of the reader's
// own (fd, size), or memory (bytes, size). Borrowed from the image_file.
struct image_bytes {
  int fd = -1;
  const unsigned char* memory = nullptr;
  std::uint64_t size = 0;
};

class image_file {
 public:
  image_file();
  image_file(image_file&&) noexcept;
  image_file& operator=(image_file&&) = delete;
  ~image_file();

  // decoded when the header passed the screen (decode_file's: too_large,
  // undecodable before anything image-sized is allocated).
  decode_status status() const noexcept { return status_; }
  int width() const noexcept;
  int height() const noexcept;

  // The lean reader where the format's layout streams, else whole_image().
  std::unique_ptr<image_reader> strips() const;
  // The whole decode; its failure is never unsure.
  std::unique_ptr<image_reader> whole_image() const;

 private:
  friend image_file open_image_file(const std::string& path);
  struct state;
  decode_status status_ = decode_status::undecodable;
  std::unique_ptr<state> state_;
};

// Opens `path` once (decode/file_source.hpp) and screens its header.
image_file open_image_file(const std::string& path);

// A decode's result, lent a strip at a time (the reader whole_image() gives).
std::unique_ptr<image_reader> read_decoded(decoded result);

}  // namespace tonvik::codec
