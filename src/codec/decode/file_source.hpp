// An image path opened once: the header screen and the decoder read the same
// open file, so a FIFO or a slow device is read once, like any stream.
//
// A regular file is read in place through stb's callbacks (pread at our own
// offset, so a rewind costs nothing); anything else that opens for reading
// (a FIFO, a pipe, a character device) is read into memory up to
// max_stream_bytes (limits.hpp). Failure contract: open_image reports
// through its status; nothing throws but std::bad_alloc.
//
//   opened_image image = open_image(path);
//   if (image.status == open_status::regular) {
//     regular_file_reader reader(image.fd, image.size);
//     // stb reads through reader.callbacks(), with &reader as its user pointer
//   } else if (image.status == open_status::streamed) {
//     // decode image.bytes from memory
//   }
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <stb_image.h>

#include "limits.hpp"

namespace tonvik::codec {

// Up to `size` bytes of `fd` from `offset` into `data`: fewer only at the
// end of the file or on a read error. A signal that interrupts a read is
// not an error.
std::size_t read_at(int fd, unsigned char* data, std::size_t size, std::uint64_t offset);

// A regular file read through stb's callbacks at an offset of our own.
class regular_file_reader {
 public:
  regular_file_reader(int fd, std::uint64_t size) noexcept : fd_(fd), size_(size) {}

  const stbi_io_callbacks* callbacks() const noexcept;
  void rewind() noexcept {
    offset_ = 0;
    ended_ = false;
  }

 private:
  static int read(void* user, char* data, int size);
  static void skip(void* user, int count);
  static int eof(void* user);

  int fd_;
  std::uint64_t size_;
  std::uint64_t offset_ = 0;
  bool ended_ = false;  // a read came back short: the file ends here
};

enum class open_status {
  failed,    // cannot be opened or read, a directory, or a stream over max_stream_bytes
  regular,   // a regular file: use fd and size
  streamed,  // anything else: its bytes are in `bytes`
};

struct opened_image {
  open_status status = open_status::failed;
  int fd = -1;  // owned, closed by the destructor
  std::uint64_t size = 0;
  std::vector<unsigned char> bytes;

  opened_image() = default;
  opened_image(const opened_image&) = delete;
  opened_image& operator=(const opened_image&) = delete;
  opened_image(opened_image&& other) noexcept;
  opened_image& operator=(opened_image&&) = delete;
  ~opened_image();
};

// Opens `path` once for reading. A stream whose first bytes name no image
// format is refused without reading further, so /dev/zero costs nothing; a
// signal that interrupts a blocking open or read (Ctrl-C) ends it as a
// failure, and the interpreter then raises for the signal.
opened_image open_image(const std::string& path);

}  // namespace tonvik::codec
