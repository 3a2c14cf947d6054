// fd_writer: a byte_sink that streams into an open file descriptor through a
// large buffer of its own, which it lends to the encoder, checking every
// write(2).
//
// Ownership: borrows the descriptor; owns only its buffer. Failure contract:
// the first failed write latches; reserve() gives null and put() and flush()
// false from then on, and error_number() holds the errno. Nothing throws but
// the constructor (std::bad_alloc for the buffer).
//
//   fd_writer writer(fd);
//   bool complete = write(writer) && writer.flush();
#pragma once

#include <cstddef>
#include <memory>

#include "byte_sink.hpp"

namespace tonvik::bridge {

class fd_writer final : public codec::byte_sink {
 public:
  // 256 KiB: large enough that a JPEG costs a handful of system calls, small
  // enough to be nothing beside the pixel buffer it encodes.
  static constexpr std::size_t buffer_size = 256 * 1024;
  static_assert(buffer_size >= min_reserve, "lends what every sink lends");

  explicit fd_writer(int fd);

  // Writes out what is buffered when less than `size` is left; null for more
  // than buffer_size.
  unsigned char* reserve(std::size_t size) override;
  void commit(std::size_t size) override;
  bool put(const unsigned char* bytes, std::size_t size) override;
  // Writes out what is buffered. Does not sync the file to the device.
  bool flush();

  bool failed() const noexcept { return error_number_ != 0; }
  int error_number() const noexcept { return error_number_; }

 private:
  bool write_all(const unsigned char* bytes, std::size_t size);

  int fd_;
  std::unique_ptr<unsigned char[]> buffer_;
  std::size_t used_ = 0;
  int error_number_ = 0;
};

}  // namespace tonvik::bridge
