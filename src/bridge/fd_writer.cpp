#include "fd_writer.hpp"

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace tonvik::bridge {

fd_writer::fd_writer(int fd) : fd_(fd), buffer_(new unsigned char[buffer_size]) {}

unsigned char* fd_writer::reserve(std::size_t size) {
  if (failed() || size > buffer_size) return nullptr;
  if (size > buffer_size - used_ && !flush()) return nullptr;
  return buffer_.get() + used_;
}

void fd_writer::commit(std::size_t size) { used_ += size; }

bool fd_writer::put(const unsigned char* bytes, std::size_t size) {
  if (failed()) return false;
  if (size > buffer_size - used_) {
    if (!flush()) return false;
    // A chunk as large as the buffer gains nothing from a copy.
    if (size >= buffer_size) return write_all(bytes, size);
  }
  std::memcpy(buffer_.get() + used_, bytes, size);
  used_ += size;
  return true;
}

bool fd_writer::flush() {
  if (failed()) return false;
  const std::size_t pending = used_;
  used_ = 0;
  return write_all(buffer_.get(), pending);
}

bool fd_writer::write_all(const unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd_, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      error_number_ = errno != 0 ? errno : EIO;
      return false;
    }
    if (written == 0) {
      // No progress and no error: treat as a device that takes no more.
      error_number_ = ENOSPC;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace tonvik::bridge
